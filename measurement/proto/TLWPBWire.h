#pragma once
// Protocol-buffer wire primitives for the code that reads or writes message bytes itself
// (queued bundles, stored events, batches), under the message decoder's rules.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::uint32_t kTLWPBWireVarint = 0, kTLWPBWireFixed64 = 1, kTLWPBWireLength = 2,
                               kTLWPBWireFixed32 = 5;

inline void TLWPBPutVarint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(static_cast<std::uint8_t>(v | 0x80));
  out.push_back(static_cast<std::uint8_t>(v));
}

// The varint at `at`, which moves past it; false when the input ends first or the value
// overflows 64 bits (the tenth byte may carry only the top bit), as the decoder refuses it.
inline bool TLWPBReadVarint(std::span<const std::uint8_t> in, std::size_t& at, std::uint64_t& out) {
  out = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= in.size()) return false;
    const std::uint8_t b = in[at++];
    if (shift == 63 && b > 1) return false;
    out |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}
