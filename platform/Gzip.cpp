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

struct GzipDeflater::State {
  z_stream stream{};
  int level;
  bool ready = false;  // deflateInit2 succeeded; deflateEnd owed
};

GzipDeflater::GzipDeflater(int level) : state_(std::make_unique<State>()) { state_->level = level; }

GzipDeflater::~GzipDeflater() {
  if (state_->ready) deflateEnd(&state_->stream);
}

std::optional<GzipData> GzipDeflater::compress(std::span<const std::uint8_t> data, std::string* error) {
  z_stream& stream = state_->stream;
  // A stream left mid-member by a failure is started over, as a fresh one would be.
  int rc = state_->ready ? deflateReset(&stream)
                         : deflateInit2(&stream, state_->level, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY);
  if (rc != Z_OK) {
    if (state_->ready) deflateEnd(&stream);
    state_->ready = false;
    setError(error, "cannot start compression: " + zlibMessage(stream, rc));
    stream = z_stream{};
    return std::nullopt;
  }
  state_->ready = true;
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
      setError(error, "compression failed: " + zlibMessage(stream, rc));
      return std::nullopt;
    }
  } while (rc != Z_STREAM_END);
  // Nothing of the caller's buffers stays behind in the kept state.
  stream.next_in = nullptr;
  stream.next_out = nullptr;
  return out;
}

std::optional<GzipData> vxl_dataByGzippingData(std::span<const std::uint8_t> data, std::string* error, int level) {
  return GzipDeflater(level).compress(data, error);
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
