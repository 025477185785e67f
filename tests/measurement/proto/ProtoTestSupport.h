#pragma once
// Test helpers: running protoc as an independent encoder/decoder, raw wire building, and
// capturing this layer's log lines.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "measurement/proto/TLWPBMessage.h"

#ifndef TW_PROTO_DIR
#error "TW_PROTO_DIR must name the folder of the .proto files"
#endif

namespace prototest {

using Bytes = std::vector<std::uint8_t>;

inline std::string tempPath(const std::string& stem) {
  static int counter = 0;
  return testing::TempDir() + "/tw_proto_" + std::to_string(::getpid()) + "_" + std::to_string(++counter) + stem;
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void writeAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs protoc over the repository's schema `protoFile`; `mode` is "--decode=tlwpb.X",
// "--encode=tlwpb.X" or "--decode_raw". Returns false when protoc fails.
inline bool runProtoc(const std::string& mode, const std::string& protoFile, const std::string& input,
                      std::string* output) {
  std::string in = tempPath(".in"), out = tempPath(".out"), err = tempPath(".err");
  writeAll(in, input);
  std::string cmd = "protoc " + mode + " -I'" TW_PROTO_DIR "' '" TW_PROTO_DIR "/" + protoFile + "' < '" + in +
                    "' > '" + out + "' 2> '" + err + "'";
  if (mode == "--decode_raw") cmd = "protoc --decode_raw < '" + in + "' > '" + out + "' 2> '" + err + "'";
  int rc = std::system(cmd.c_str());
  *output = readAll(out);
  std::string errors = readAll(err);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(err.c_str());
  if (rc != 0) ADD_FAILURE() << "protoc failed: " << errors;
  return rc == 0;
}

inline std::string asString(const Bytes& b) { return std::string(b.begin(), b.end()); }
inline Bytes asBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Raw wire building, independent of the layer under test.
inline void putVarint(Bytes& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}
inline void putTag(Bytes& out, std::uint32_t field, std::uint32_t wireType) { putVarint(out, (field << 3) | wireType); }
inline void putLengthDelimited(Bytes& out, std::uint32_t field, const Bytes& payload) {
  putTag(out, field, 2);
  putVarint(out, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
}

// Collects this layer's log lines for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() {
    TLWPBSetLogHandler([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LogCapture() { TLWPBSetLogHandler(nullptr); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool contains(const std::string& text) const {
    for (const auto& l : lines()) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace prototest
