#pragma once
// Gzip (RFC 1952) compression and inflation with zlib.
//
// Thread-safety: the free functions are stateless (any thread); a GzipDeflater has one
// user at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

using GzipData = std::vector<std::uint8_t>;

// The most a gzip stream may inflate to unless the caller says otherwise: a few bytes of
// hostile input must not be able to claim gigabytes of memory.
inline constexpr std::size_t kVXLGzipDefaultMaxInflatedSize = 64u << 20;

// zlib's default level, and its fastest (on bundles about 12 % larger in a third of the
// time): for what is kept only on this device.
inline constexpr int kGzipDefaultLevel = -1;
inline constexpr int kGzipFastestLevel = 1;

// One gzip member at `level` (0 to 9, or kGzipDefaultLevel). Nullopt with `error` only
// when zlib fails (out of memory).
[[nodiscard]] std::optional<GzipData> vxl_dataByGzippingData(std::span<const std::uint8_t> data,
                                                             std::string* error = nullptr,
                                                             int level = kGzipDefaultLevel);

// Compresses one gzip member per call at a fixed level, keeping zlib's state (about
// 256 KiB) from one call to the next: for inputs of tens of KiB, such as bundles, setting
// up a fresh state (allocating, zeroing, faulting its pages in, and the heap trim when it
// is freed) costs more than the compression.
class GzipDeflater {
 public:
  explicit GzipDeflater(int level = kGzipDefaultLevel);
  ~GzipDeflater();
  GzipDeflater(const GzipDeflater&) = delete;
  GzipDeflater& operator=(const GzipDeflater&) = delete;

  // As vxl_dataByGzippingData at this deflater's level.
  [[nodiscard]] std::optional<GzipData> compress(std::span<const std::uint8_t> data, std::string* error = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Inflates one or more concatenated gzip members. Nullopt with `error` for empty,
// truncated or corrupt input (bad header, bad CRC or length trailer, trailing garbage) and
// when the output would exceed `maxInflatedSize` bytes; inflation stops at the cap rather
// than after it.
[[nodiscard]] std::optional<GzipData> vxl_dataByInflatingGzippedData(
    std::span<const std::uint8_t> data, std::string* error = nullptr,
    std::size_t maxInflatedSize = kVXLGzipDefaultMaxInflatedSize);

}  // namespace platform
