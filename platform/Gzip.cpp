#include "platform/Gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace platform {
namespace {

constexpr int kGzipWindowBits = 15 + 16;  // 16: gzip wrapper, not zlib's
constexpr std::size_t kChunk = 64 * 1024;

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

std::string zlibMessage(const z_stream& stream, int code) {
  if (stream.msg) return stream.msg;
  return "zlib error " + std::to_string(code);
}

}  // namespace

std::optional<GzipData> vxl_dataByGzippingData(std::span<const std::uint8_t> data, std::string* error, int level) {
  z_stream stream{};
  int rc = deflateInit2(&stream, level, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) {
    setError(error, "cannot start compression: " + zlibMessage(stream, rc));
    return std::nullopt;
  }
  GzipData out;
  out.reserve(std::min<std::size_t>(deflateBound(&stream, static_cast<uLong>(std::min<std::size_t>(data.size(), ULONG_MAX))),
                                    std::size_t{1} << 30));
  std::size_t offset = 0;
  int flush = Z_NO_FLUSH;
  do {
    // zlib counts input in 32-bit units; feed larger buffers piecewise.
    if (stream.avail_in == 0 && flush != Z_FINISH) {
      std::size_t take = std::min<std::size_t>(data.size() - offset, UINT_MAX);
      stream.next_in = const_cast<Bytef*>(data.data() + offset);
      stream.avail_in = static_cast<uInt>(take);
      offset += take;
      if (offset == data.size()) flush = Z_FINISH;
    }
    // The first round fills the room reserved above (the bound of the whole output), so
    // a small input does not clear a full chunk.
    const std::size_t before = out.size();
    const std::size_t room = std::clamp<std::size_t>(out.capacity() - before, 4096, kChunk);
    out.resize(before + room);
    stream.next_out = out.data() + before;
    stream.avail_out = static_cast<uInt>(room);
    rc = deflate(&stream, flush);
    out.resize(before + (room - stream.avail_out));
    if (rc == Z_STREAM_ERROR) {
      deflateEnd(&stream);
      setError(error, "compression failed: " + zlibMessage(stream, rc));
      return std::nullopt;
    }
  } while (rc != Z_STREAM_END);
  deflateEnd(&stream);
  return out;
}

std::optional<GzipData> vxl_dataByInflatingGzippedData(std::span<const std::uint8_t> data, std::string* error,
                                                       std::size_t maxInflatedSize) {
  if (data.empty()) {
    setError(error, "no gzip data");
    return std::nullopt;
  }
  z_stream stream{};
  int rc = inflateInit2(&stream, kGzipWindowBits);
  if (rc != Z_OK) {
    setError(error, "cannot start inflation: " + zlibMessage(stream, rc));
    return std::nullopt;
  }
  struct End {
    z_stream* s;
    ~End() { inflateEnd(s); }
  } end{&stream};

  GzipData out;
  std::size_t offset = 0;
  bool memberDone = false;
  for (;;) {
    if (stream.avail_in == 0 && offset < data.size()) {
      std::size_t take = std::min<std::size_t>(data.size() - offset, UINT_MAX);
      stream.next_in = const_cast<Bytef*>(data.data() + offset);
      stream.avail_in = static_cast<uInt>(take);
      offset += take;
    }
    if (memberDone) {
      if (stream.avail_in == 0 && offset == data.size()) return out;
      // Another member follows (RFC 1952 allows concatenation); anything else is garbage
      // that inflate will reject as a bad header.
      inflateReset(&stream);
      memberDone = false;
    }
    // Room for at most one byte past the cap, so exceeding it is detected without
    // inflating any further.
    const std::size_t limit = maxInflatedSize == SIZE_MAX ? SIZE_MAX : maxInflatedSize + 1;
    std::size_t room = std::min(kChunk, limit - out.size());
    std::size_t before = out.size();
    out.resize(before + room);
    stream.next_out = out.data() + before;
    stream.avail_out = static_cast<uInt>(room);
    rc = inflate(&stream, Z_NO_FLUSH);
    out.resize(before + (room - stream.avail_out));
    if (out.size() > maxInflatedSize) {
      setError(error, "gzip data inflates to more than " + std::to_string(maxInflatedSize) + " bytes");
      return std::nullopt;
    }
    if (rc == Z_STREAM_END) {
      memberDone = true;
      continue;
    }
    if (rc == Z_BUF_ERROR && stream.avail_in == 0 && offset == data.size()) {
      setError(error, "gzip data is truncated");
      return std::nullopt;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      setError(error, "gzip data is corrupt: " + zlibMessage(stream, rc));
      return std::nullopt;
    }
  }
}

}  // namespace platform
