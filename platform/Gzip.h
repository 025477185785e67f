#pragma once
// Gzip (RFC 1952) compression and inflation with zlib.
//
// Thread-safety: stateless; any thread.

#include <cstddef>
#include <cstdint>
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

// Inflates one or more concatenated gzip members. Nullopt with `error` for empty,
// truncated or corrupt input (bad header, bad CRC or length trailer, trailing garbage) and
// when the output would exceed `maxInflatedSize` bytes; inflation stops at the cap rather
// than after it.
[[nodiscard]] std::optional<GzipData> vxl_dataByInflatingGzippedData(
    std::span<const std::uint8_t> data, std::string* error = nullptr,
    std::size_t maxInflatedSize = kVXLGzipDefaultMaxInflatedSize);

}  // namespace platform
