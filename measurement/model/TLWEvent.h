#pragma once
// TLWEvent: one event: origin, name, time stamp, previous time stamp and its parameters.
// The origin also travels as the parameter "_o"; the flags conversion, real-time and
// debug travel as "_c", "_r" and "_dbg" holding int64 1.
//
// Thread-safety: none; an event is built and changed on one queue, and copied (copy())
// before it crosses to another.
// Ownership: events are shared through std::shared_ptr; the factories copy every argument.
// Failure: the factories return null when the origin, the name or (for copies) the rebuilt
// event is invalid, after the validator has logged why. Invalid parameters never fail an
// event: they are dropped and recorded as error parameters inside it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "measurement/model/TLWValue.h"
#include "platform/Value.h"

class TLWError;
class TLWPBEvent;

class TLWEvent {
 public:
  // The event in the form event-editing programs work on: the long name, the time stamp
  // and the parameters as plain objects.
  struct EditForm {
    std::string name;
    double timestamp = 0;
    platform::Dictionary parameters;
  };

  // initWithOrigin:isPublic:name:timestamp:previousTimestamp:parameters:. `parameters`
  // may hold strings, numbers, arrays and TLWValues (see TLWDataTypeValidator's
  // sanitizer for what is kept). A previous time stamp after the time stamp logs 16002 and
  // is kept.
  [[nodiscard]] static std::shared_ptr<TLWEvent> initWithOrigin(std::string_view origin, bool isPublic,
                                                                std::string_view name, double timestamp,
                                                                double previousTimestamp,
                                                                const platform::Dictionary& parameters);
  [[nodiscard]] static std::shared_ptr<TLWEvent> initWithOrigin(std::string_view origin, bool isPublic,
                                                                std::string_view name, double timestamp,
                                                                double previousTimestamp,
                                                                const TLWParameters& parameters);

  // New parameters are rebuilt through the constructor (public flag false), so they pass
  // the sanitizer; null when that fails.
  [[nodiscard]] std::shared_ptr<TLWEvent> copyWithParameters(const TLWParameters& parameters) const;
  [[nodiscard]] std::shared_ptr<TLWEvent> copyWithParameters(const platform::Dictionary& parameters) const;
  // The event as it is (its parameters were sanitised when it was made); never null.
  [[nodiscard]] std::shared_ptr<TLWEvent> copy() const;
  [[nodiscard]] std::shared_ptr<TLWEvent> copyWithPreviousTimestamp(double previousTimestamp) const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const TLWParameters& parameters() const { return parameters_; }

  // True for conversions and for "ad_impression" / "_ai".
  bool shouldValidateParams() const;
  bool isConversion() const;
  bool isDebug() const;
  // "_r" absent: false; an int64: equal to 1; anything else logs 16006 and is false.
  bool isRealtime() const;
  void setRealtime(bool realtime);
  void setDebug(bool debug);
  // true: only when the value-and-currency check passes, sets "_c" and clears an "_err"
  // of 10. false: removes "_c" and records error 10 unless an error is present.
  void setConversion(bool conversion);

  // Default parameters: sanitized (public), then the event's own parameters on top.
  void applyParameters(const platform::Dictionary& parameters);
  // Adds "_sn", "_sc", "_si" from `screen`; false and no change when it is empty, lacks
  // "_si", the event already has screen parameters, or a value is invalid (16003, 16004).
  bool addScreenParameters(const platform::Dictionary& screen);

  // The event as programs see it, and back (origin from a string "_o", else "app";
  // previous time stamp 0; not public).
  EditForm editEvent() const;
  [[nodiscard]] static std::shared_ptr<TLWEvent> eventFromEditEvent(const EditForm& editEvent);

  // initWithEventProto:. Name and time stamps (milliseconds / 1000) from the message, the
  // origin from its string parameter "_o"; string, integer and double parameters, and
  // nested parameter lists as array values. A parameter without a name logs 15000, one of
  // another kind 15002, and is skipped; an "_o" that is not a string logs 15001 and gives
  // no event, as does a missing "_o" (the origin check fails). Not public.
  [[nodiscard]] static std::shared_ptr<TLWEvent> initWithEventProto(const TLWPBEvent& proto);
  // The stricter reading used for stored raw events, where any damage must surface as an
  // error rather than a silently thinner event. `name` and `timestamp` replace the
  // message's own when given. Errors: code 2 "Failed to parse event params from data"
  // (a parameter without a name or a value), "Cannot create an event from database. Origin
  // parameter is not a string", "Cannot create an event from database. Missing origin
  // parameter", "Failed to initialize raw event data from dictionary".
  [[nodiscard]] static std::shared_ptr<TLWEvent> initWithStoredEventProto(const TLWPBEvent& proto,
                                                                          std::optional<std::string_view> name,
                                                                          std::optional<double> timestamp,
                                                                          TLWError* error);
  // The stored raw event read from its bytes: the same event, or the same error, as
  // decoding the message and reading it with initWithStoredEventProto (code 3 "Failed to
  // parse event from data" when the bytes are no event message). Events of the regular
  // shape the write path stores (scalar parameters, each field once) are read straight
  // from the bytes, the rest through the message: bundling reads every stored event.
  [[nodiscard]] static std::shared_ptr<TLWEvent> initWithStoredEventBytes(std::span<const std::uint8_t> bytes,
                                                                          std::optional<std::string_view> name,
                                                                          std::optional<double> timestamp,
                                                                          TLWError* error);
  // protoEvent: the batch-format event message: name, time stamps in milliseconds
  // (truncated toward zero, written only when above machine epsilon), one parameter per
  // parameter; an array becomes one unnamed parameter per element holding the element's
  // parameters. An array inside an element is left out (16007), an ill-formed value too
  // (16005).
  // It is the decoding of protoEventBytes().
  std::shared_ptr<TLWPBEvent> protoEvent() const;
  // That message serialised, written straight from the event: the write path and bundling
  // store every event this way, since building message objects first cost more than the
  // rest of the event's handling. Without the name when `includeName` is false.
  std::vector<std::uint8_t> protoEventBytes(bool includeName = true) const;

  std::string description() const;

 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  // Reachable only through the factories (the token is private).
  TLWEvent(Token, std::string origin, std::string name, double timestamp, double previousTimestamp,
           TLWParameters parameters);

 private:
  static bool isValidHeader(std::string_view origin, bool isPublic, std::string_view name, double timestamp,
                            double previousTimestamp);
  static std::shared_ptr<TLWEvent> finish(std::string_view origin, std::string_view name, double timestamp,
                                          double previousTimestamp, TLWParameters sanitized);
  bool parameterIsOne(std::string_view key) const;

  TLWParameters parameters_;
  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
};
