#include "measurement/proto/TLWPBBundleBytes.h"
#include "measurement/proto/TLWPBWire.h"

#include <pb_common.h>

#include <algorithm>
#include <array>
#include <limits>

#include "measurement/monitor/TLWError.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/Digest.h"

using namespace tlwpb_kind;

namespace {

constexpr std::uint32_t kWireVarint = kTLWPBWireVarint, kWireFixed64 = kTLWPBWireFixed64, kWireLength = kTLWPBWireLength,
                        kWireFixed32 = kTLWPBWireFixed32;
constexpr std::uint32_t kMaxFieldNumber = (1u << 29) - 1;
constexpr std::uint32_t kUnknownRank = std::numeric_limits<std::uint32_t>::max();

struct Reader {
  std::span<const std::uint8_t> in;
  std::size_t at = 0;

  bool done() const { return at >= in.size(); }
  bool varint(std::uint64_t& value) { return TLWPBReadVarint(in, at, value); }
  bool skip(std::uint64_t n) {
    if (n > in.size() - at) return false;
    at += static_cast<std::size_t>(n);
    return true;
  }
};

struct Key {
  std::uint32_t number = 0, wire = 0;
  std::size_t payload = 0, end = 0;  // offsets of the value (after a length) and of the field's end
};

// One field at `r.at`: its key and where its value lies. False when malformed.
bool readField(Reader& r, Key& k) {
  std::uint64_t key = 0, length = 0;
  if (!r.varint(key)) return false;
  k.number = static_cast<std::uint32_t>(key >> 3);
  k.wire = static_cast<std::uint32_t>(key & 7);
  if (k.number == 0 || (key >> 3) > kMaxFieldNumber) return false;
  bool ok = false;
  switch (k.wire) {
    case kWireVarint: ok = r.varint(length); break;
    case kWireFixed64: ok = r.skip(8); break;
    case kWireFixed32: ok = r.skip(4); break;
    case kWireLength: ok = r.varint(length) && (k.payload = r.at, r.skip(length)); break;
    default: ok = false;  // groups are not part of the schema
  }
  k.end = r.at;
  return ok;
}

const TLWPBFieldDescriptor* fieldWithNumber(const TLWPBMessageDescriptor& d, std::uint32_t number) {
  for (const auto& f : d.fields) {
    if (f.number == number) return &f;
  }
  return nullptr;
}

// The wire type a field of this kind travels with (a repeated number may also be packed).
bool wireFits(const TLWPBFieldDescriptor& f, std::uint32_t wire) {
  if (f.kind & (kString | kMessage)) return wire == kWireLength;
  if ((f.kind & kRepeated) && wire == kWireLength) return true;
  if (f.kind & kDouble) return wire == kWireFixed64;
  if (f.kind & kFloat) return wire == kWireFixed32;
  return wire == kWireVarint;
}

// Well-formed at every depth the schema knows of, each known field in its own wire type;
// unknown fields are skipped whole.
bool wellFormed(std::span<const std::uint8_t> in, const TLWPBMessageDescriptor& d, int depth) {
  if (depth > kTLWPBMaxNestingDepth) return false;
  Reader r{in};
  while (!r.done()) {
    Key k;
    if (!readField(r, k)) return false;
    const TLWPBFieldDescriptor* f = fieldWithNumber(d, k.number);
    if (!f) continue;
    if (!wireFits(*f, k.wire)) return false;
    if ((f->kind & kMessage) && f->child &&
        !wellFormed(in.subspan(k.payload, k.end - k.payload), f->child(), depth + 1))
      return false;
  }
  return true;
}

// Where the message layer encodes each field: nanopb's order for the bundle.
struct Ranks {
  std::array<std::uint32_t, 64> byNumber{};
  std::uint32_t of(std::uint32_t number) const { return number < byNumber.size() ? byNumber[number] : kUnknownRank; }
};

const Ranks& bundleRanks() {
  static const Ranks& ranks = *[] {
    auto* r = new Ranks;
    r->byNumber.fill(kUnknownRank);
    const TLWPBMessageDescriptor& d = TLWPBMeasurementBundle::descriptor();
    std::vector<std::uint8_t> scratch(d.nanopbStructSize);
    pb_field_iter_t iter;
    std::uint32_t rank = 0;
    if (pb_field_iter_begin(&iter, d.nanopbFields, scratch.data())) {
      do {
        if (iter.tag < r->byNumber.size()) r->byNumber[iter.tag] = rank++;
      } while (pb_field_iter_next(&iter));
    }
    return r;
  }();
  return ranks;
}

const TLWPBFieldDescriptor* singularField(std::int32_t index, std::uint32_t kindMask) {
  const auto fields = TLWPBMeasurementBundle::descriptor().fields;
  if (index < 0 || static_cast<std::size_t>(index) >= fields.size()) return nullptr;
  const TLWPBFieldDescriptor& f = fields[static_cast<std::size_t>(index)];
  return (f.kind & kSingular) && (f.kind & kindMask) ? &f : nullptr;
}

}  // namespace

std::optional<TLWPBBundleBytes> TLWPBBundleBytes::initWithBuffer(std::vector<std::uint8_t> bytes) {
  if (!wellFormed(bytes, TLWPBMeasurementBundle::descriptor(), 0)) return std::nullopt;
  TLWPBBundleBytes b;
  b.bytes_ = std::move(bytes);
  const Ranks& ranks = bundleRanks();
  Reader r{b.bytes_};
  while (!r.done()) {
    const std::size_t start = r.at;
    Key k;
    (void)readField(r, k);
    b.fields_.push_back(Field{k.number, ranks.of(k.number), start, k.end - start, {}, false});
  }
  return b;
}

std::span<const std::uint8_t> TLWPBBundleBytes::span(const Field& f) const {
  return f.isOwned ? std::span<const std::uint8_t>(f.owned) : std::span<const std::uint8_t>(bytes_).subspan(f.offset, f.size);
}

const TLWPBBundleBytes::Field* TLWPBBundleBytes::last(std::uint32_t number) const {
  for (auto it = fields_.rbegin(); it != fields_.rend(); ++it) {
    if (it->number == number) return &*it;
  }
  return nullptr;
}

bool TLWPBBundleBytes::HasField(std::int32_t index) const {
  const auto* f = singularField(index, ~0u);
  return f && last(f->number);
}

std::optional<std::string> TLWPBBundleBytes::GetString(std::int32_t index) const {
  const auto* f = singularField(index, kString);
  const Field* field = f ? last(f->number) : nullptr;
  if (!field) return std::nullopt;
  Reader r{span(*field)};
  Key k;
  if (!readField(r, k) || k.wire != kWireLength) return std::nullopt;
  const auto value = span(*field).subspan(k.payload, k.end - k.payload);
  return std::string(value.begin(), value.end());
}

bool TLWPBBundleBytes::replace(std::int32_t index, std::uint32_t kindMask, std::vector<std::uint8_t> encoded) {
  const auto* f = singularField(index, kindMask);
  if (!f) return false;
  // The field takes the place of its first occurrence, or of the first field the message
  // layer encodes after it.
  const std::uint32_t rank = bundleRanks().of(f->number);
  auto first = std::find_if(fields_.begin(), fields_.end(), [&](const Field& x) { return x.number == f->number; });
  std::size_t position = static_cast<std::size_t>(first - fields_.begin());
  if (first == fields_.end()) {
    auto after = std::find_if(fields_.begin(), fields_.end(), [&](const Field& x) { return x.rank > rank; });
    position = static_cast<std::size_t>(after - fields_.begin());
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].number == f->number) {
      if (i < position) --position;
      continue;
    }
    if (kept != i) fields_[kept] = std::move(fields_[i]);
    ++kept;
  }
  fields_.resize(kept);
  if (encoded.empty()) return true;
  const std::size_t size = encoded.size();
  fields_.insert(fields_.begin() + static_cast<std::ptrdiff_t>(std::min(position, fields_.size())),
                 Field{f->number, rank, 0, size, std::move(encoded), true});
  return true;
}

bool TLWPBBundleBytes::setVarint(std::int32_t index, std::uint32_t kindMask, std::uint64_t value) {
  const auto* f = singularField(index, kindMask);
  if (!f) return false;
  std::vector<std::uint8_t> encoded;
  TLWPBPutVarint(encoded, (std::uint64_t{f->number} << 3) | kWireVarint);
  TLWPBPutVarint(encoded, value);
  return replace(index, kindMask, std::move(encoded));
}

bool TLWPBBundleBytes::SetString(std::int32_t index, std::string_view value) {
  const auto* f = singularField(index, kString);
  if (!f) return false;
  std::vector<std::uint8_t> encoded;
  TLWPBPutVarint(encoded, (std::uint64_t{f->number} << 3) | kWireLength);
  TLWPBPutVarint(encoded, value.size());
  encoded.insert(encoded.end(), value.begin(), value.end());
  return replace(index, kString, std::move(encoded));
}

bool TLWPBBundleBytes::SetBool(std::int32_t index, bool value) { return setVarint(index, kBool, value ? 1 : 0); }

bool TLWPBBundleBytes::SetInt32(std::int32_t index, std::int32_t value) {
  const auto* f = singularField(index, kInt32 | kUInt32);
  if (!f) return false;
  // A negative int32 travels sign-extended to 64 bits; a uint32 field keeps 32 bits.
  const std::uint64_t wire = (f->kind & kInt32) ? static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                                                : static_cast<std::uint32_t>(value);
  return setVarint(index, kInt32 | kUInt32, wire);
}

bool TLWPBBundleBytes::SetUInt32(std::int32_t index, std::uint32_t value) { return setVarint(index, kUInt32, value); }

bool TLWPBBundleBytes::SetInt64(std::int32_t index, std::int64_t value) {
  return setVarint(index, kInt64, static_cast<std::uint64_t>(value));
}

bool TLWPBBundleBytes::ClearField(std::int32_t index) { return replace(index, ~0u, {}); }

bool TLWPBBundleBytes::AddRepeatedMessageBytes(std::int32_t index, std::vector<std::vector<std::uint8_t>> messages) {
  const auto fields = TLWPBMeasurementBundle::descriptor().fields;
  if (index < 0 || static_cast<std::size_t>(index) >= fields.size()) return false;
  const TLWPBFieldDescriptor& f = fields[static_cast<std::size_t>(index)];
  if (!(f.kind & kRepeated) || !(f.kind & kMessage)) return false;
  const std::uint32_t rank = bundleRanks().of(f.number);
  auto after = std::find_if(fields_.begin(), fields_.end(), [&](const Field& x) { return x.rank > rank; });
  std::vector<Field> added;
  added.reserve(messages.size());
  for (auto& message : messages) {
    std::vector<std::uint8_t> encoded;
    encoded.reserve(message.size() + 8);
    TLWPBPutVarint(encoded, (std::uint64_t{f.number} << 3) | kWireLength);
    TLWPBPutVarint(encoded, message.size());
    encoded.insert(encoded.end(), message.begin(), message.end());
    const std::size_t size = encoded.size();
    added.push_back(Field{f.number, rank, 0, size, std::move(encoded), true});
  }
  fields_.insert(after, std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
  return true;
}

std::size_t TLWPBBundleBytes::encodedSize() const {
  std::size_t total = 0;
  for (const auto& f : fields_) total += f.size;
  return total;
}

void TLWPBBundleBytes::appendTo(std::vector<std::uint8_t>& out) const {
  out.reserve(out.size() + encodedSize());
  for (const auto& f : fields_) {
    const auto s = span(f);
    out.insert(out.end(), s.begin(), s.end());
  }
}

std::vector<std::uint8_t> TLWPBBundleBytes::bytes() const {
  std::vector<std::uint8_t> out;
  appendTo(out);
  return out;
}

std::optional<std::int64_t> TLWPBBundleBytes::checksum(TLWError* error) const {
  const std::uint32_t own = TLWPBMeasurementBundle::descriptor().fields[TLWPBMeasurementBundle::kBundleChecksum].number;
  std::vector<std::uint8_t> unsummed;
  unsummed.reserve(encodedSize());
  for (const auto& f : fields_) {
    if (f.number == own) continue;
    const auto s = span(f);
    unsummed.insert(unsummed.end(), s.begin(), s.end());
  }
  return TLWPBBundleChecksumOfBytes(unsummed, error);
}

std::optional<std::int64_t> TLWPBBundleChecksumOfBytes(std::span<const std::uint8_t> bytes, TLWError* error) {
  const platform::DigestBytes digest = platform::md5Digest(bytes);
  if (digest.size() != 16) {
    TLWSetError(error, TLWError::errorWithCode(kTLWPBErrorCodeEncodeFailed, "MD5 digest failed"));
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 8; i < 16; ++i) value = (value << 8) | digest[i];
  return static_cast<std::int64_t>(value);
}
