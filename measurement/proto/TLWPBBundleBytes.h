#pragma once
// A measurement bundle kept as its serialised bytes. An upload only stamps a few top-level
// fields (identifiers, upload time, version, retry count, checksum) on bundles that were
// encoded when they were queued; decoding tens of thousands of events into message objects
// for that, and encoding them again, cost most of an upload's memory and time. Here the
// top-level fields are spans of the stored bytes; a set or cleared field replaces its span,
// in the place the message layer would encode it, so the bytes written equal those of the
// decoded bundle encoded again.
//
// Field access takes the message layer's indices (TLWPBMeasurementBundle::kAppId and so
// on), so that the identifier rule runs on either form.
//
// Thread-safety: none; one owner at a time.
// Failure: initWithBuffer refuses bytes that are not well-formed at any depth of the
// bundle's schema; a setter refuses an index of another kind and changes nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TLWError;

// The bundle checksum of serialised bundle bytes (without a checksum of their own): bytes
// 8 to 15 of their MD5 digest, big-endian. nullopt (and `error`) when MD5 is unavailable.
[[nodiscard]] std::optional<std::int64_t> TLWPBBundleChecksumOfBytes(std::span<const std::uint8_t> bytes,
                                                                     TLWError* error = nullptr);

class TLWPBBundleBytes {
 public:
  TLWPBBundleBytes() = default;  // an empty bundle
  [[nodiscard]] static std::optional<TLWPBBundleBytes> initWithBuffer(std::vector<std::uint8_t> bytes);

  bool HasField(std::int32_t index) const;
  std::optional<std::string> GetString(std::int32_t index) const;
  bool SetString(std::int32_t index, std::string_view value);
  bool SetBool(std::int32_t index, bool value);
  bool SetInt32(std::int32_t index, std::int32_t value);
  bool SetUInt32(std::int32_t index, std::uint32_t value);
  bool SetInt64(std::int32_t index, std::int64_t value);
  bool ClearField(std::int32_t index);
  // Appends serialised messages to a repeated message field (events), after the field's
  // present elements: bundling splices events written once instead of encoding them again.
  bool AddRepeatedMessageBytes(std::int32_t index, std::vector<std::vector<std::uint8_t>> messages);

  // Bytes of the bundle as encoded now.
  std::size_t encodedSize() const;
  void appendTo(std::vector<std::uint8_t>& out) const;
  std::vector<std::uint8_t> bytes() const;
  // As TLWPBMeasurementBundle::checksum: over the bundle without its own checksum.
  [[nodiscard]] std::optional<std::int64_t> checksum(TLWError* error = nullptr) const;

 private:
  struct Field {
    std::uint32_t number = 0;
    std::uint32_t rank = 0;  // where the message layer encodes the field
    std::size_t offset = 0;  // into bytes_, or into owned_ when owned
    std::size_t size = 0;    // the whole field, key included
    std::vector<std::uint8_t> owned;
    bool isOwned = false;
  };
  std::span<const std::uint8_t> span(const Field& f) const;
  const Field* last(std::uint32_t number) const;
  bool replace(std::int32_t index, std::uint32_t kindMask, std::vector<std::uint8_t> encoded);
  bool setVarint(std::int32_t index, std::uint32_t kindMask, std::uint64_t value);

  std::vector<std::uint8_t> bytes_;
  std::vector<Field> fields_;  // in encoding order
};
