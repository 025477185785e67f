#pragma once
// The message-object layer over the nanopb-generated wire messages.
//
// A message-info record (TLWPBMessageInfo) holds one slot per field, in the message's
// declaration order; a slot is empty or owns its value (a number, a string, a child
// record or a list). A wrapper (TLWPBMessage and its typed subclasses TLWPB<Name>) owns
// one record and offers field access by declaration index, serialisation and parsing.
//
// Thread-safety: a wrapper or record is not synchronised. Any number of threads may call
// const members of one wrapper at the same time; a mutating call needs exclusive access.
// Different wrappers never share state (every copy is deep).
//
// Ownership: a wrapper owns its record; Get/Set of messages and lists copy, so a wrapper
// returned by GetMessage or GetRepeated is independent of its parent.
//
// Failures: decoding and encoding fail with a TLWError (domain kTLWErrorDomain, codes
// below) and leave no partial object; an accessor used with an index or kind that does
// not fit the field logs "<Nano/Failure> ..." and returns zero, false, an empty value or
// nothing, leaving the message unchanged.
//
// Decoded bytes are untrusted: strings are limited to kTLWPBMaxStringLength bytes, each
// repeated field to kTLWPBMaxRepeatedCount elements, nesting to kTLWPBMaxNestingDepth
// levels and the memory one decode may allocate to kTLWPBMaxDecodedBytes.
//
// Strings, lists and embedded messages all travel through nanopb callbacks rather than
// fixed-size arrays (max_size / max_count options): the limits above are then decided
// here, per decode, instead of being compiled into every structure, where they would
// either cut off legitimate data or reserve megabytes per message; and every child record
// is owned by this layer, which is what lets it bound nesting depth.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "measurement/monitor/TLWError.h"
#include "platform/Value.h"

struct pb_msgdesc_s;

// Field-kind bits; one 32-bit word per field, fixed per message type.
namespace tlwpb_kind {
inline constexpr std::uint32_t kSingular = 0x2;
inline constexpr std::uint32_t kRepeated = 0x8;
inline constexpr std::uint32_t kBool = 0x20;
inline constexpr std::uint32_t kUInt32 = 0x40;  // uint32 or enumeration
inline constexpr std::uint32_t kInt32 = 0x80;
inline constexpr std::uint32_t kUInt32ListElement = 0x100;  // only experiment_ids
inline constexpr std::uint32_t kInt64 = 0x200;
inline constexpr std::uint32_t kUInt64 = 0x400;
inline constexpr std::uint32_t kFloat = 0x800;
inline constexpr std::uint32_t kDouble = 0x1000;
inline constexpr std::uint32_t kString = 0x2000;
inline constexpr std::uint32_t kMessage = 0x4000;
}  // namespace tlwpb_kind

// Limits applied to every decode.
inline constexpr std::size_t kTLWPBMaxStringLength = 1048576;
inline constexpr std::size_t kTLWPBMaxRepeatedCount = 100000;
inline constexpr int kTLWPBMaxNestingDepth = 100;
inline constexpr std::size_t kTLWPBMaxDecodedBytes = 256u * 1024u * 1024u;

// Error codes of this layer (library error domain).
inline constexpr std::int64_t kTLWPBErrorCodeDecodeFailed = 5001;
inline constexpr std::int64_t kTLWPBErrorCodeEncodeFailed = 5002;

struct TLWPBMessageDescriptor;

struct TLWPBFieldDescriptor {
  const char* name;
  std::uint32_t number;
  std::uint32_t kind;
  // The child message type for message kinds, else null. A function so that tables may
  // refer to each other (and to themselves) regardless of initialisation order.
  const TLWPBMessageDescriptor& (*child)();
};

struct TLWPBMessageDescriptor {
  const char* messageID;
  const pb_msgdesc_s* nanopbFields;
  std::size_t nanopbStructSize;
  std::span<const TLWPBFieldDescriptor> fields;
};

class TLWPBMessageInfo;

// A list of repeated values. Numbers keep their 64-bit pattern (signed kinds as two's
// complement).
struct TLWPBRepeatedField {
  std::vector<std::uint64_t> numbers;
  std::vector<std::string> strings;
  std::vector<std::unique_ptr<TLWPBMessageInfo>> messages;
  std::size_t size() const { return numbers.size() + strings.size() + messages.size(); }
};

// One field slot: empty, a number (integer kinds and bool as a 64-bit pattern), a double,
// a float, a string, a child record or a list.
using TLWPBSlot = std::variant<std::monostate, std::uint64_t, double, float, std::unique_ptr<std::string>,
                               std::unique_ptr<TLWPBMessageInfo>, std::unique_ptr<TLWPBRepeatedField>>;

// The message-info record.
class TLWPBMessageInfo {
 public:
  explicit TLWPBMessageInfo(const TLWPBMessageDescriptor& descriptor);
  ~TLWPBMessageInfo();
  TLWPBMessageInfo(const TLWPBMessageInfo&) = delete;
  TLWPBMessageInfo& operator=(const TLWPBMessageInfo&) = delete;

  const TLWPBMessageDescriptor& descriptor() const { return *descriptor_; }
  const char* messageID() const { return descriptor_->messageID; }
  std::size_t fieldCount() const { return slots_.size(); }
  const TLWPBSlot& slot(std::size_t index) const { return slots_[index]; }
  TLWPBSlot& slot(std::size_t index) { return slots_[index]; }

  // A deep copy; null when the record nests deeper than `maxDepth` levels.
  std::unique_ptr<TLWPBMessageInfo> copy(int maxDepth = kTLWPBMaxNestingDepth) const;
  // Empties one slot (out-of-range indices are ignored).
  void releaseField(std::size_t index);
  // Field-by-field equality (empty slots equal only empty slots; doubles compare bitwise
  // so that NaN payloads round-trip).
  bool isEqual(const TLWPBMessageInfo& other) const;

 private:
  const TLWPBMessageDescriptor* descriptor_;
  std::vector<TLWPBSlot> slots_;
};

// Decodes `bytes` as a message of `descriptor`; null and `error` filled on any failure.
std::unique_ptr<TLWPBMessageInfo> TLWPBDecodeMessageInfo(const TLWPBMessageDescriptor& descriptor,
                                                         std::span<const std::uint8_t> bytes,
                                                         TLWError* error = nullptr);
// Serialises a record; nullopt and `error` filled on failure.
std::optional<std::vector<std::uint8_t>> TLWPBEncodeMessageInfo(const TLWPBMessageInfo& info,
                                                                TLWError* error = nullptr);

// Where this layer's log lines go (by default the utilities logger at error level). Tests
// install a capturing handler; null restores the default. Any thread.
using TLWPBLogHandler = std::function<void(std::string_view line)>;
void TLWPBSetLogHandler(TLWPBLogHandler handler);

// The three record functions a wrapper hands out.
using TLWPBInitMessageInfoFn = std::unique_ptr<TLWPBMessageInfo> (*)();
using TLWPBDeallocMessageFieldFn = void (*)(TLWPBMessageInfo& info, std::int32_t index);
using TLWPBCopyMessageInfoFn = std::unique_ptr<TLWPBMessageInfo> (*)(const TLWPBMessageInfo& info);

// The untyped wrapper. Use the typed subclasses (TLWPBMeasurementBundle, ...) to create
// messages; every wrapper always holds a record.
class TLWPBMessage : public platform::ValueObject {
 public:
  ~TLWPBMessage() override;

  const char* messageID() const { return info_->messageID(); }
  const TLWPBMessageInfo& messageInfo() const { return *info_; }
  const TLWPBMessageDescriptor& descriptor() const { return info_->descriptor(); }

  // The serialised bytes, or nullopt (and `error`) on failure.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> protoBuffer(TLWError* error = nullptr) const;

  // Field access by declaration index. Setters return false when the index or kind does
  // not fit (after logging); getters then return zero / false / nullopt / null.
  bool HasField(std::int32_t index) const;  // always true for a repeated field
  bool ClearField(std::int32_t index);
  bool GetBool(std::int32_t index) const;
  bool SetBool(std::int32_t index, bool value);
  std::int32_t GetInt32(std::int32_t index) const;  // int32, uint32/enum, list-element kinds
  bool SetInt32(std::int32_t index, std::int32_t value);
  std::int64_t GetInt64(std::int32_t index) const;  // int64 and uint64 kinds
  bool SetInt64(std::int32_t index, std::int64_t value);
  double GetDouble(std::int32_t index) const;
  bool SetDouble(std::int32_t index, double value);
  float GetFloat(std::int32_t index) const;
  bool SetFloat(std::int32_t index, float value);
  std::optional<std::string> GetString(std::int32_t index) const;
  // nullopt clears the field.
  bool SetString(std::int32_t index, std::optional<std::string_view> value);

  // A new wrapper over a copy of the child, or null when the field is absent, the kind
  // differs or the child is not a T.
  template <class T>
  std::shared_ptr<T> GetMessage(std::int32_t index) const {
    static_assert(std::is_base_of_v<TLWPBMessage, T>);
    const TLWPBMessageInfo* child = childInfo(index);
    return child ? T::initWithMessageInfo(child) : nullptr;
  }
  // Stores a copy of `child`; null clears the field. Fails when the child's type is not
  // the field's or it nests too deep.
  bool SetMessage(std::int32_t index, const TLWPBMessage* child);

  // Numbers (integers as Int/UInt values) or strings of a repeated scalar field.
  platform::Array GetRepeated(std::int32_t index) const;
  // Wrappers over copies of a repeated message field's elements.
  template <class T>
  std::vector<std::shared_ptr<T>> GetRepeated(std::int32_t index) const {
    static_assert(std::is_base_of_v<TLWPBMessage, T>);
    std::vector<std::shared_ptr<T>> out;
    for (const TLWPBMessageInfo* child : childInfos(index)) {
      if (auto w = T::initWithMessageInfo(child)) out.push_back(std::move(w));
    }
    return out;
  }
  // Replaces a repeated scalar field with copies of `values` (numbers or strings, by the
  // field's kind). Fails, leaving the field unchanged, when an element does not fit.
  bool SetRepeated(std::int32_t index, const platform::Array& values);
  // Replaces a repeated message field with copies of `values`.
  template <class T>
  bool SetRepeated(std::int32_t index, const std::vector<std::shared_ptr<T>>& values) {
    std::vector<const TLWPBMessage*> raw;
    raw.reserve(values.size());
    for (const auto& v : values) raw.push_back(v.get());
    return setRepeatedMessages(index, raw);
  }
  // Replaces a repeated message field with `values`, taking over the record of every
  // message nobody else holds (it is left empty) instead of copying it; `values` ends up
  // empty. For building a large message once, as a bundle of events is built.
  template <class T>
  bool MoveRepeated(std::int32_t index, std::vector<std::shared_ptr<T>>&& values) {
    std::vector<std::pair<TLWPBMessage*, bool>> raw;
    raw.reserve(values.size());
    for (const auto& v : values) raw.emplace_back(v.get(), v.use_count() == 1);
    const bool ok = moveRepeatedMessages(index, raw);
    values.clear();
    return ok;
  }
  // Appends a copy of `child` to a repeated message field (cheaper than SetRepeated when
  // building a list).
  bool AddRepeatedMessage(std::int32_t index, const TLWPBMessage& child);

  // Deep equality of the records.
  bool isEqualMessage(const TLWPBMessage& other) const;

  std::string className() const override;
  std::string description() const override;
  bool isEqual(const platform::ValueObject& other) const override;

 protected:
  explicit TLWPBMessage(std::unique_ptr<TLWPBMessageInfo> info);
  // For typed subclasses.
  static std::unique_ptr<TLWPBMessageInfo> copyForDescriptor(const TLWPBMessageDescriptor& descriptor,
                                                             const TLWPBMessageInfo* info);
  TLWPBMessageInfo& mutableInfo() { return *info_; }

 private:
  const TLWPBMessageInfo* childInfo(std::int32_t index) const;
  std::vector<const TLWPBMessageInfo*> childInfos(std::int32_t index) const;
  bool setRepeatedMessages(std::int32_t index, const std::vector<const TLWPBMessage*>& values);
  // Each value with whether its record may be taken.
  bool moveRepeatedMessages(std::int32_t index, const std::vector<std::pair<TLWPBMessage*, bool>>& values);

  std::unique_ptr<TLWPBMessageInfo> info_;
};

// The typed wrapper of one message type; `Derived` provides `static const
// TLWPBMessageDescriptor& descriptor()`.
template <class Derived>
class TLWPBTypedMessage : public TLWPBMessage {
 public:
  // A new empty message (null `info`), or a deep copy of `info`; null when `info` is of
  // another message type or nests too deep.
  static std::shared_ptr<Derived> initWithMessageInfo(const TLWPBMessageInfo* info = nullptr) {
    auto record = copyForDescriptor(Derived::descriptor(), info);
    if (!record) return nullptr;
    return std::shared_ptr<Derived>(new Derived(std::move(record)));
  }
  // Decodes serialised bytes; null (and `error`) on any failure.
  static std::shared_ptr<Derived> initWithBuffer(std::span<const std::uint8_t> bytes, TLWError* error = nullptr) {
    auto record = TLWPBDecodeMessageInfo(Derived::descriptor(), bytes, error);
    if (!record) return nullptr;
    return std::shared_ptr<Derived>(new Derived(std::move(record)));
  }
  static std::shared_ptr<Derived> initWithBuffer(std::string_view bytes, TLWError* error = nullptr) {
    return initWithBuffer(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), error);
  }
  // A deep copy of this message.
  std::shared_ptr<Derived> copy() const { return initWithMessageInfo(&messageInfo()); }

  static TLWPBInitMessageInfoFn initMessageInfoFn() {
    return [] { return std::make_unique<TLWPBMessageInfo>(Derived::descriptor()); };
  }
  static TLWPBDeallocMessageFieldFn deallocMessageFieldFn() {
    return [](TLWPBMessageInfo& info, std::int32_t index) {
      if (index >= 0) info.releaseField(static_cast<std::size_t>(index));
    };
  }
  static TLWPBCopyMessageInfoFn copyMessageInfoFn() {
    return [](const TLWPBMessageInfo& info) { return info.copy(); };
  }

 protected:
  explicit TLWPBTypedMessage(std::unique_ptr<TLWPBMessageInfo> info) : TLWPBMessage(std::move(info)) {}
};
