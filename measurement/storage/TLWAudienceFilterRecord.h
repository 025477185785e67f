#pragma once
// TLWAudienceFilterRecord: what a stored audience filter row holds, whatever the filter
// applies to (an event or a user property): the audience and filter IDs, the name of its
// subject, the serialised filter message exactly as received, and the message's
// session-scoped, dynamic and sequence flags. TLWEventFilter and TLWPropertyFilter are
// this record over their own filter message.
//
// Thread-safety: immutable after construction; any thread may read.
// Ownership: shared through std::shared_ptr; the factories copy every argument.
// Failure: none at construction. A record whose data do not decode still exists (its
// flags read false and filterMessage() is null), so that evaluation can report it.
//
// The members that parse or build messages are defined in TLWAudienceFilterRecordImpl.h
// and instantiated once, in the subclass's source file; the subclass names the message
// field of the subject through a static subjectNameField().

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

template <class Derived, class Message>
class TLWAudienceFilterRecord {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // The flags as given (a configuration being saved knows them from its message).
  static std::shared_ptr<Derived> initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                     std::string_view subjectName, Bytes data, bool sessionScoped,
                                                     bool dynamic, bool sequence);
  // The flags from the parsed `data` (all false when it does not decode).
  static std::shared_ptr<Derived> initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                     std::string_view subjectName, Bytes data);
  // Filter ID, subject name, flags and bytes from the message; null when it does not
  // serialise.
  static std::shared_ptr<Derived> filterWithAudienceID(std::int32_t audienceID, const Message& message);

  bool sessionScoped() const { return sessionScoped_; }
  bool dynamic() const { return dynamic_; }
  bool sequence() const { return sequence_; }
  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const Bytes& data() const { return data_; }
  // The parsed filter message, or null when `data` does not decode.
  std::shared_ptr<Message> filterMessage() const;

 protected:
  struct Token {
    explicit Token() = default;
  };
  const std::string& subjectName() const { return subjectName_; }

 public:
  TLWAudienceFilterRecord(Token, std::int32_t audienceID, std::int32_t filterID, std::string subjectName, Bytes data,
                          bool sessionScoped, bool dynamic, bool sequence)
      : sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence),
        audienceID_(audienceID),
        filterID_(filterID),
        subjectName_(std::move(subjectName)),
        data_(std::move(data)) {}

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string subjectName_;
  Bytes data_;
};
