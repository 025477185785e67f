#pragma once
// TLWEventFilter: one stored audience event filter, a row of event_filters: the audience and
// filter IDs, the event it applies to, the serialised filter message exactly as received,
// and the message's session-scoped, dynamic and sequence flags.
//
// Thread-safety: immutable after construction; any thread may read.
// Ownership: shared through std::shared_ptr; the factories copy every argument.
// Failure: none at construction. A record whose data do not decode still exists (its
// flags read false and filterMessage() is null), so that evaluation can report it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TLWPBEventFilter;

class TLWEventFilter {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // The flags as given (a configuration being saved knows them from its message).
  static std::shared_ptr<TLWEventFilter> initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                            std::string_view eventName, Bytes data,
                                                            bool sessionScoped, bool dynamic, bool sequence);
  // The flags from the parsed `data` (all false when it does not decode).
  static std::shared_ptr<TLWEventFilter> initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                            std::string_view eventName, Bytes data);
  // Filter ID, event name, flags and bytes from the message; null when it does not
  // serialise.
  static std::shared_ptr<TLWEventFilter> filterWithAudienceID(std::int32_t audienceID,
                                                              const TLWPBEventFilter& message);

  bool sessionScoped() const { return sessionScoped_; }
  bool dynamic() const { return dynamic_; }
  bool sequence() const { return sequence_; }
  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  const Bytes& data() const { return data_; }
  // The parsed filter message, or null when `data` does not decode.
  std::shared_ptr<TLWPBEventFilter> filterMessage() const;

 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  TLWEventFilter(Token, std::int32_t audienceID, std::int32_t filterID, std::string eventName, Bytes data,
                 bool sessionScoped, bool dynamic, bool sequence)
      : sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence),
        audienceID_(audienceID),
        filterID_(filterID),
        eventName_(std::move(eventName)),
        data_(std::move(data)) {}

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string eventName_;
  Bytes data_;
};
