#include "measurement/proto/TLWPBMessage.h"

#include <pb.h>
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>
#include <mutex>

#include "platform/VXLLogger.h"

using namespace tlwpb_kind;

namespace {

// ---- logging ---------------------------------------------------------------------------

std::mutex gLogMutex;
std::shared_ptr<const TLWPBLogHandler> gLogHandler;

void logLine(const std::string& line) {
  std::shared_ptr<const TLWPBLogHandler> handler;
  {
    std::lock_guard<std::mutex> lock(gLogMutex);
    handler = gLogHandler;
  }
  if (handler) {
    (*handler)(line);
    return;
  }
  // The utilities logger takes printf-style escaped text.
  std::string escaped;
  escaped.reserve(line.size());
  for (char c : line) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  platform::VXLLogError("<Tallywise>", false, "I-ACS005000", escaped);
}

const char* kindLabel(std::uint32_t kind) {
  if (kind & kBool) return "BOOL";
  if (kind & (kInt32 | kUInt32 | kUInt32ListElement)) return "INT32";
  if (kind & (kInt64 | kUInt64)) return "INT64";
  if (kind & kDouble) return "DOUBLE";
  if (kind & kFloat) return "FLOAT";
  if (kind & kString) return "STRING";
  return "MESSAGE";
}

void logKindMismatch(const TLWPBMessageInfo& info, std::int32_t index, std::uint32_t wanted, bool repeated) {
  std::string line = repeated ? std::string("<Nano/Failure> Field type isn't REPEATED.")
                              : std::string("<Nano/Failure> Field type isn't a scalar ") + kindLabel(wanted) + ".";
  logLine(line + " Message: " + info.messageID() + ", field ID: " + std::to_string(index));
}

// The field at `index` when it exists and its kind has one of `accepted` bits and the
// wanted cardinality; otherwise logs and returns null.
const TLWPBFieldDescriptor* checkedField(const TLWPBMessageInfo& info, std::int32_t index, std::uint32_t accepted,
                                         bool repeated) {
  const auto& fields = info.descriptor().fields;
  if (index < 0 || static_cast<std::size_t>(index) >= fields.size()) {
    logLine(std::string("<Nano/Failure> Field index out of range. Message: ") + info.messageID() +
            ", field ID: " + std::to_string(index));
    return nullptr;
  }
  const TLWPBFieldDescriptor& f = fields[static_cast<std::size_t>(index)];
  bool cardinalityOK = repeated ? (f.kind & kRepeated) != 0 : (f.kind & kSingular) != 0;
  if (!cardinalityOK || (f.kind & accepted) == 0) {
    logKindMismatch(info, index, accepted, repeated);
    return nullptr;
  }
  return &f;
}

bool isSignedKind(std::uint32_t kind) { return (kind & (kInt32 | kInt64)) != 0; }

// ---- copying ---------------------------------------------------------------------------

bool copySlot(const TLWPBSlot& from, TLWPBSlot& to, int maxDepth) {
  struct Visitor {
    TLWPBSlot& to;
    int maxDepth;
    bool operator()(std::monostate) { to = std::monostate{}; return true; }
    bool operator()(std::uint64_t v) { to = v; return true; }
    bool operator()(double v) { to = v; return true; }
    bool operator()(float v) { to = v; return true; }
    bool operator()(const std::unique_ptr<std::string>& s) {
      to = std::make_unique<std::string>(*s);
      return true;
    }
    bool operator()(const std::unique_ptr<TLWPBMessageInfo>& m) {
      auto c = m->copy(maxDepth - 1);
      if (!c) return false;
      to = std::move(c);
      return true;
    }
    bool operator()(const std::unique_ptr<TLWPBRepeatedField>& r) {
      auto c = std::make_unique<TLWPBRepeatedField>();
      c->numbers = r->numbers;
      c->strings = r->strings;
      c->messages.reserve(r->messages.size());
      for (const auto& m : r->messages) {
        auto e = m->copy(maxDepth - 1);
        if (!e) return false;
        c->messages.push_back(std::move(e));
      }
      to = std::move(c);
      return true;
    }
  };
  return std::visit(Visitor{to, maxDepth}, from);
}

bool slotsEqual(const TLWPBSlot& a, const TLWPBSlot& b) {
  if (a.index() != b.index()) return false;
  switch (a.index()) {
    case 0: return true;
    case 1: return std::get<1>(a) == std::get<1>(b);
    case 2: return std::memcmp(&std::get<2>(a), &std::get<2>(b), sizeof(double)) == 0;
    case 3: return std::memcmp(&std::get<3>(a), &std::get<3>(b), sizeof(float)) == 0;
    case 4: return *std::get<4>(a) == *std::get<4>(b);
    case 5: return std::get<5>(a)->isEqual(*std::get<5>(b));
    case 6: {
      const auto& x = *std::get<6>(a);
      const auto& y = *std::get<6>(b);
      if (x.numbers != y.numbers || x.strings != y.strings || x.messages.size() != y.messages.size()) return false;
      for (std::size_t i = 0; i < x.messages.size(); ++i) {
        if (!x.messages[i]->isEqual(*y.messages[i])) return false;
      }
      return true;
    }
  }
  return false;
}

TLWPBRepeatedField& listOf(TLWPBSlot& slot) {
  if (!std::holds_alternative<std::unique_ptr<TLWPBRepeatedField>>(slot)) {
    slot = std::make_unique<TLWPBRepeatedField>();
  }
  return *std::get<std::unique_ptr<TLWPBRepeatedField>>(slot);
}

const TLWPBRepeatedField* listIn(const TLWPBSlot& slot) {
  auto* p = std::get_if<std::unique_ptr<TLWPBRepeatedField>>(&slot);
  return p ? p->get() : nullptr;
}

// ---- the nanopb structure ---------------------------------------------------------------

// A zeroed nanopb structure of one message type (operator new[] aligns for any scalar).
struct NanoStruct {
  explicit NanoStruct(std::size_t size) : bytes(new std::byte[size == 0 ? 1 : size]) {
    std::memset(bytes.get(), 0, size == 0 ? 1 : size);
  }
  std::unique_ptr<std::byte[]> bytes;
  void* data() { return bytes.get(); }
};

// The nanopb iterator of every descriptor field, in descriptor order, from one pass over
// the generated table (finding each field from the start again is quadratic in the field
// count, and showed in profiles). False when the table lacks a described field.
bool fieldIterators(const TLWPBMessageDescriptor& d, void* data, std::vector<pb_field_iter_t>& out) {
  const std::size_t n = d.fields.size();
  out.assign(n, pb_field_iter_t{});
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, d.nanopbFields, data)) return n == 0;
  std::size_t matched = 0, next = 0;
  do {
    // Tables usually list fields in the descriptor's order: try the next one first.
    std::size_t i = next < n && d.fields[next].number == iter.tag ? next : n;
    for (std::size_t j = 0; i == n && j < n; ++j) {
      if (d.fields[j].number == iter.tag) i = j;
    }
    if (i == n) continue;  // a table field the descriptor does not use
    out[i] = iter;
    ++matched;
    next = i + 1;
  } while (pb_field_iter_next(&iter));
  return matched == n;
}

// ---- decoding --------------------------------------------------------------------------

struct DecodeContext {
  std::size_t allocated = 0;
  std::string error;

  bool fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }
  bool charge(std::size_t bytes) {
    allocated += bytes;
    if (allocated > kTLWPBMaxDecodedBytes) {
      return fail("decoded message needs more than " + std::to_string(kTLWPBMaxDecodedBytes) + " bytes");
    }
    return true;
  }
};

struct FieldDecodeArg {
  TLWPBMessageInfo* info;
  std::size_t index;
  DecodeContext* ctx;
  int depth;
};

bool decodeInto(pb_istream_t* stream, TLWPBMessageInfo& info, DecodeContext& ctx, int depth);

bool chargeMessage(DecodeContext& ctx, const TLWPBMessageDescriptor& d) {
  return ctx.charge(sizeof(TLWPBMessageInfo) + d.fields.size() * sizeof(TLWPBSlot) + 16);
}

bool decodeField(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  auto* a = static_cast<FieldDecodeArg*>(*arg);
  DecodeContext& ctx = *a->ctx;
  const TLWPBFieldDescriptor& f = a->info->descriptor().fields[a->index];
  TLWPBSlot& slot = a->info->slot(a->index);
  const bool repeated = (f.kind & kRepeated) != 0;
  if (repeated && listOf(slot).size() >= kTLWPBMaxRepeatedCount) {
    return ctx.fail(std::string("more than ") + std::to_string(kTLWPBMaxRepeatedCount) + " elements in " +
                    a->info->messageID() + "." + f.name);
  }
  if (f.kind & kString) {
    std::size_t n = stream->bytes_left;
    if (n > kTLWPBMaxStringLength) {
      return ctx.fail("Unable to process proto stream. Buffer is too big. " + std::to_string(n) + " > " +
                      std::to_string(kTLWPBMaxStringLength));
    }
    if (!ctx.charge(n + sizeof(std::string))) return false;
    std::string s(n, '\0');
    if (n > 0 && !pb_read(stream, reinterpret_cast<pb_byte_t*>(s.data()), n)) return false;
    if (repeated) {
      listOf(slot).strings.push_back(std::move(s));
    } else {
      slot = std::make_unique<std::string>(std::move(s));
    }
    return true;
  }
  if (f.kind & kMessage) {
    const TLWPBMessageDescriptor& cd = f.child();
    if (!repeated) {
      // A repeated occurrence of a singular message merges into the earlier one.
      if (auto* existing = std::get_if<std::unique_ptr<TLWPBMessageInfo>>(&slot)) {
        return decodeInto(stream, **existing, ctx, a->depth + 1);
      }
    }
    if (!chargeMessage(ctx, cd)) return false;
    auto child = std::make_unique<TLWPBMessageInfo>(cd);
    if (!decodeInto(stream, *child, ctx, a->depth + 1)) return false;
    if (repeated) {
      listOf(slot).messages.push_back(std::move(child));
    } else {
      slot = std::move(child);
    }
    return true;
  }
  // A repeated number: called once per element, packed or not. An empty packed field
  // arrives as an empty stream and adds nothing.
  if (stream->bytes_left == 0) return true;
  std::uint64_t v = 0;
  if (!pb_decode_varint(stream, &v)) return false;
  if (f.kind & kUInt32ListElement) v &= 0xffffffffu;
  if (!ctx.charge(sizeof(std::uint64_t))) return false;
  listOf(slot).numbers.push_back(v);
  return true;
}

bool readStaticValue(const pb_field_iter_t& iter, std::uint32_t kind, TLWPBSlot& slot) {
  const void* p = iter.pData;
  switch (iter.data_size) {
    case 1: {
      std::uint8_t b;
      std::memcpy(&b, p, 1);
      slot = std::uint64_t{b ? 1u : 0u};
      return true;
    }
    case 4: {
      if (kind & kFloat) {
        float v;
        std::memcpy(&v, p, 4);
        slot = v;
      } else if (kind & kInt32) {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        slot = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
      } else {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        slot = std::uint64_t{v};
      }
      return true;
    }
    case 8: {
      if (kind & kDouble) {
        double v;
        std::memcpy(&v, p, 8);
        slot = v;
      } else {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        slot = v;
      }
      return true;
    }
  }
  return false;
}

bool decodeInto(pb_istream_t* stream, TLWPBMessageInfo& info, DecodeContext& ctx, int depth) {
  if (depth > kTLWPBMaxNestingDepth) {
    return ctx.fail("messages nested deeper than " + std::to_string(kTLWPBMaxNestingDepth) + " levels");
  }
  const TLWPBMessageDescriptor& d = info.descriptor();
  NanoStruct ns(d.nanopbStructSize);
  std::vector<FieldDecodeArg> args(d.fields.size());
  std::vector<pb_field_iter_t> iters;
  if (!fieldIterators(d, ns.data(), iters)) return ctx.fail("schema mismatch");
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    const pb_field_iter_t& iter = iters[i];
    if (PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK) {
      args[i] = FieldDecodeArg{&info, i, &ctx, depth};
      auto* cb = static_cast<pb_callback_t*>(iter.pData);
      cb->funcs.decode = &decodeField;
      cb->arg = &args[i];
    }
  }
  // The structure is zeroed and its callbacks installed: no defaults pass.
  if (!pb_decode_ex(stream, d.nanopbFields, ns.data(), PB_DECODE_NOINIT)) {
    return ctx.fail(PB_GET_ERROR(stream));
  }
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    const pb_field_iter_t& iter = iters[i];
    if (PB_ATYPE(iter.type) != PB_ATYPE_STATIC) continue;
    if (!iter.pSize || !*static_cast<const bool*>(iter.pSize)) continue;
    if (!readStaticValue(iter, d.fields[i].kind, info.slot(i))) return ctx.fail("schema mismatch");
  }
  return true;
}

// ---- encoding --------------------------------------------------------------------------

struct FieldEncodeArg {
  const TLWPBSlot* slot;
  std::uint32_t kind;
  const std::vector<std::vector<std::uint8_t>>* blobs;
};

bool encodeField(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  const auto* a = static_cast<const FieldEncodeArg*>(*arg);
  if (a->kind & kMessage) {
    for (const auto& blob : *a->blobs) {
      if (!pb_encode_tag_for_field(stream, field) || !pb_encode_string(stream, blob.data(), blob.size())) {
        return false;
      }
    }
    return true;
  }
  if (a->kind & kString) {
    if (a->kind & kRepeated) {
      for (const auto& s : listIn(*a->slot)->strings) {
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(s.data()), s.size())) {
          return false;
        }
      }
      return true;
    }
    const std::string& s = *std::get<std::unique_ptr<std::string>>(*a->slot);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(s.data()), s.size());
  }
  // Repeated numbers go unpacked, one key per element; signed values keep their 64-bit
  // two's complement, so a negative one takes ten bytes.
  for (std::uint64_t v : listIn(*a->slot)->numbers) {
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, v)) return false;
  }
  return true;
}

bool writeStaticValue(pb_field_iter_t& iter, std::uint32_t kind, const TLWPBSlot& slot) {
  void* p = iter.pData;
  if (const auto* n = std::get_if<std::uint64_t>(&slot)) {
    switch (iter.data_size) {
      case 1: {
        bool b = *n != 0;
        std::memcpy(p, &b, 1);
        break;
      }
      case 4: {
        std::uint32_t v = static_cast<std::uint32_t>(*n);
        std::memcpy(p, &v, 4);
        break;
      }
      case 8:
        std::memcpy(p, n, 8);
        break;
      default:
        return false;
    }
  } else if (const auto* dv = std::get_if<double>(&slot); dv && (kind & kDouble) && iter.data_size == 8) {
    std::memcpy(p, dv, 8);
  } else if (const auto* fv = std::get_if<float>(&slot); fv && (kind & kFloat) && iter.data_size == 4) {
    std::memcpy(p, fv, 4);
  } else {
    return false;
  }
  *static_cast<bool*>(iter.pSize) = true;
  return true;
}

bool encodeInfo(const TLWPBMessageInfo& info, int depth, std::vector<std::uint8_t>& out, std::string& error) {
  if (depth > kTLWPBMaxNestingDepth) {
    error = "messages nested deeper than " + std::to_string(kTLWPBMaxNestingDepth) + " levels";
    return false;
  }
  const TLWPBMessageDescriptor& d = info.descriptor();
  NanoStruct ns(d.nanopbStructSize);
  // Children are serialised once, bottom-up, so that the sizing pass and the writing pass
  // only copy bytes (re-encoding them in each pass would double the work per level).
  std::vector<std::vector<std::vector<std::uint8_t>>> blobs(d.fields.size());
  std::vector<FieldEncodeArg> args(d.fields.size());
  std::vector<pb_field_iter_t> iters;
  if (!fieldIterators(d, ns.data(), iters)) {
    error = "schema mismatch";
    return false;
  }
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    const TLWPBFieldDescriptor& f = d.fields[i];
    const TLWPBSlot& slot = info.slot(i);
    if (std::holds_alternative<std::monostate>(slot)) continue;
    pb_field_iter_t& iter = iters[i];
    if (PB_ATYPE(iter.type) == PB_ATYPE_STATIC) {
      if (!writeStaticValue(iter, f.kind, slot)) {
        error = std::string("value of ") + f.name + " does not fit its field";
        return false;
      }
      continue;
    }
    if (f.kind & kMessage) {
      if (f.kind & kRepeated) {
        const TLWPBRepeatedField* list = listIn(slot);
        if (!list) continue;
        for (const auto& child : list->messages) {
          if (!encodeInfo(*child, depth + 1, blobs[i].emplace_back(), error)) return false;
        }
      } else if (const auto* child = std::get_if<std::unique_ptr<TLWPBMessageInfo>>(&slot)) {
        if (!encodeInfo(**child, depth + 1, blobs[i].emplace_back(), error)) return false;
      }
      if (blobs[i].empty()) continue;
    } else if (f.kind & kRepeated) {
      const TLWPBRepeatedField* list = listIn(slot);
      if (!list || list->size() == 0) continue;  // an empty list is not written
    } else if (!std::holds_alternative<std::unique_ptr<std::string>>(slot)) {
      continue;
    }
    args[i] = FieldEncodeArg{&slot, f.kind, &blobs[i]};
    auto* cb = static_cast<pb_callback_t*>(iter.pData);
    cb->funcs.encode = &encodeField;
    cb->arg = &args[i];
  }
  std::size_t size = 0;
  if (!pb_get_encoded_size(&size, d.nanopbFields, ns.data())) {
    error = "sizing failed";
    return false;
  }
  out.assign(size, 0);
  pb_ostream_t os = pb_ostream_from_buffer(out.data(), size);
  if (!pb_encode(&os, d.nanopbFields, ns.data()) || os.bytes_written != size) {
    error = PB_GET_ERROR(&os);
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

// ---- TLWPBMessageInfo ------------------------------------------------------------------

TLWPBMessageInfo::TLWPBMessageInfo(const TLWPBMessageDescriptor& descriptor)
    : descriptor_(&descriptor), slots_(descriptor.fields.size()) {}

TLWPBMessageInfo::~TLWPBMessageInfo() = default;

std::unique_ptr<TLWPBMessageInfo> TLWPBMessageInfo::copy(int maxDepth) const {
  if (maxDepth <= 0) return nullptr;
  auto out = std::make_unique<TLWPBMessageInfo>(*descriptor_);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!copySlot(slots_[i], out->slots_[i], maxDepth)) return nullptr;
  }
  return out;
}

void TLWPBMessageInfo::releaseField(std::size_t index) {
  if (index < slots_.size()) slots_[index] = std::monostate{};
}

bool TLWPBMessageInfo::isEqual(const TLWPBMessageInfo& other) const {
  if (descriptor_ != other.descriptor_) return false;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    // An empty list and an absent list are the same message.
    const auto* a = listIn(slots_[i]);
    const auto* b = listIn(other.slots_[i]);
    if ((a || b) && (a ? a->size() : 0) == 0 && (b ? b->size() : 0) == 0) continue;
    if (!slotsEqual(slots_[i], other.slots_[i])) return false;
  }
  return true;
}

std::unique_ptr<TLWPBMessageInfo> TLWPBDecodeMessageInfo(const TLWPBMessageDescriptor& descriptor,
                                                         std::span<const std::uint8_t> bytes, TLWError* error) {
  auto info = std::make_unique<TLWPBMessageInfo>(descriptor);
  pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
  DecodeContext ctx;
  if (!decodeInto(&stream, *info, ctx, 1)) {
    std::string reason = ctx.error.empty() ? std::string("(none)") : ctx.error;
    std::string line = std::string("<ERROR> ") + descriptor.messageID + " decoder failed: " + reason;
    logLine(line);
    TLWSetError(error, TLWError::errorWithCode(kTLWPBErrorCodeDecodeFailed,
                                               std::string(descriptor.messageID) + " decoder failed: " + reason));
    return nullptr;
  }
  return info;
}

std::optional<std::vector<std::uint8_t>> TLWPBEncodeMessageInfo(const TLWPBMessageInfo& info, TLWError* error) {
  std::vector<std::uint8_t> out;
  std::string reason;
  if (!encodeInfo(info, 1, out, reason)) {
    if (reason.empty()) reason = "(none)";
    logLine(std::string("<ERROR> ") + info.messageID() + " encoder failed: " + reason);
    TLWSetError(error, TLWError::errorWithCode(kTLWPBErrorCodeEncodeFailed,
                                               std::string(info.messageID()) + " encoder failed: " + reason));
    return std::nullopt;
  }
  return out;
}

void TLWPBSetLogHandler(TLWPBLogHandler handler) {
  std::lock_guard<std::mutex> lock(gLogMutex);
  gLogHandler = handler ? std::make_shared<const TLWPBLogHandler>(std::move(handler)) : nullptr;
}

// ---- TLWPBMessage ----------------------------------------------------------------------

TLWPBMessage::TLWPBMessage(std::unique_ptr<TLWPBMessageInfo> info) : info_(std::move(info)) {}
TLWPBMessage::~TLWPBMessage() = default;

std::unique_ptr<TLWPBMessageInfo> TLWPBMessage::copyForDescriptor(const TLWPBMessageDescriptor& descriptor,
                                                                  const TLWPBMessageInfo* info) {
  if (!info) return std::make_unique<TLWPBMessageInfo>(descriptor);
  if (&info->descriptor() != &descriptor) return nullptr;
  return info->copy();
}

std::optional<std::vector<std::uint8_t>> TLWPBMessage::protoBuffer(TLWError* error) const {
  return TLWPBEncodeMessageInfo(*info_, error);
}

bool TLWPBMessage::HasField(std::int32_t index) const {
  const auto& fields = info_->descriptor().fields;
  if (index < 0 || static_cast<std::size_t>(index) >= fields.size()) {
    logLine(std::string("<Nano/Failure> Field index out of range. Message: ") + info_->messageID() +
            ", field ID: " + std::to_string(index));
    return false;
  }
  if (fields[static_cast<std::size_t>(index)].kind & kRepeated) return true;
  return !std::holds_alternative<std::monostate>(info_->slot(static_cast<std::size_t>(index)));
}

bool TLWPBMessage::ClearField(std::int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= info_->fieldCount()) {
    logLine(std::string("<Nano/Failure> Field index out of range. Message: ") + info_->messageID() +
            ", field ID: " + std::to_string(index));
    return false;
  }
  info_->releaseField(static_cast<std::size_t>(index));
  return true;
}

bool TLWPBMessage::GetBool(std::int32_t index) const {
  if (!checkedField(*info_, index, kBool, false)) return false;
  const auto* v = std::get_if<std::uint64_t>(&info_->slot(static_cast<std::size_t>(index)));
  return v && *v != 0;
}

bool TLWPBMessage::SetBool(std::int32_t index, bool value) {
  if (!checkedField(*info_, index, kBool, false)) return false;
  info_->slot(static_cast<std::size_t>(index)) = std::uint64_t{value ? 1u : 0u};
  return true;
}

std::int32_t TLWPBMessage::GetInt32(std::int32_t index) const {
  if (!checkedField(*info_, index, kInt32 | kUInt32 | kUInt32ListElement, false)) return 0;
  const auto* v = std::get_if<std::uint64_t>(&info_->slot(static_cast<std::size_t>(index)));
  return v ? static_cast<std::int32_t>(static_cast<std::uint32_t>(*v)) : 0;
}

bool TLWPBMessage::SetInt32(std::int32_t index, std::int32_t value) {
  const TLWPBFieldDescriptor* f = checkedField(*info_, index, kInt32 | kUInt32 | kUInt32ListElement, false);
  if (!f) return false;
  info_->slot(static_cast<std::size_t>(index)) =
      isSignedKind(f->kind) ? static_cast<std::uint64_t>(static_cast<std::int64_t>(value))
                            : std::uint64_t{static_cast<std::uint32_t>(value)};
  return true;
}

std::int64_t TLWPBMessage::GetInt64(std::int32_t index) const {
  if (!checkedField(*info_, index, kInt64 | kUInt64, false)) return 0;
  const auto* v = std::get_if<std::uint64_t>(&info_->slot(static_cast<std::size_t>(index)));
  return v ? static_cast<std::int64_t>(*v) : 0;
}

bool TLWPBMessage::SetInt64(std::int32_t index, std::int64_t value) {
  if (!checkedField(*info_, index, kInt64 | kUInt64, false)) return false;
  info_->slot(static_cast<std::size_t>(index)) = static_cast<std::uint64_t>(value);
  return true;
}

double TLWPBMessage::GetDouble(std::int32_t index) const {
  if (!checkedField(*info_, index, kDouble, false)) return 0.0;
  const auto* v = std::get_if<double>(&info_->slot(static_cast<std::size_t>(index)));
  return v ? *v : 0.0;
}

bool TLWPBMessage::SetDouble(std::int32_t index, double value) {
  if (!checkedField(*info_, index, kDouble, false)) return false;
  info_->slot(static_cast<std::size_t>(index)) = value;
  return true;
}

float TLWPBMessage::GetFloat(std::int32_t index) const {
  if (!checkedField(*info_, index, kFloat, false)) return 0.0f;
  const auto* v = std::get_if<float>(&info_->slot(static_cast<std::size_t>(index)));
  return v ? *v : 0.0f;
}

bool TLWPBMessage::SetFloat(std::int32_t index, float value) {
  if (!checkedField(*info_, index, kFloat, false)) return false;
  info_->slot(static_cast<std::size_t>(index)) = value;
  return true;
}

std::optional<std::string> TLWPBMessage::GetString(std::int32_t index) const {
  if (!checkedField(*info_, index, kString, false)) return std::nullopt;
  const auto* v = std::get_if<std::unique_ptr<std::string>>(&info_->slot(static_cast<std::size_t>(index)));
  if (!v) return std::nullopt;
  return **v;
}

bool TLWPBMessage::SetString(std::int32_t index, std::optional<std::string_view> value) {
  if (!checkedField(*info_, index, kString, false)) return false;
  auto& slot = info_->slot(static_cast<std::size_t>(index));
  if (!value) {
    slot = std::monostate{};
  } else {
    slot = std::make_unique<std::string>(*value);
  }
  return true;
}

const TLWPBMessageInfo* TLWPBMessage::childInfo(std::int32_t index) const {
  if (!checkedField(*info_, index, kMessage, false)) return nullptr;
  const auto* v = std::get_if<std::unique_ptr<TLWPBMessageInfo>>(&info_->slot(static_cast<std::size_t>(index)));
  return v ? v->get() : nullptr;
}

std::vector<const TLWPBMessageInfo*> TLWPBMessage::childInfos(std::int32_t index) const {
  std::vector<const TLWPBMessageInfo*> out;
  if (!checkedField(*info_, index, kMessage, true)) return out;
  if (const auto* list = listIn(info_->slot(static_cast<std::size_t>(index)))) {
    out.reserve(list->messages.size());
    for (const auto& m : list->messages) out.push_back(m.get());
  }
  return out;
}

bool TLWPBMessage::SetMessage(std::int32_t index, const TLWPBMessage* child) {
  const TLWPBFieldDescriptor* f = checkedField(*info_, index, kMessage, false);
  if (!f) return false;
  auto& slot = info_->slot(static_cast<std::size_t>(index));
  if (!child) {
    slot = std::monostate{};
    return true;
  }
  if (&child->descriptor() != &f->child()) {
    logLine(std::string("<Nano/Failure> Message type doesn't match the field. Message: ") + info_->messageID() +
            ", field ID: " + std::to_string(index) + ", given: " + child->messageID());
    return false;
  }
  auto copy = child->messageInfo().copy(kTLWPBMaxNestingDepth - 1);
  if (!copy) {
    logLine(std::string("<Nano/Failure> Message nests too deep. Message: ") + info_->messageID() +
            ", field ID: " + std::to_string(index));
    return false;
  }
  slot = std::move(copy);
  return true;
}

platform::Array TLWPBMessage::GetRepeated(std::int32_t index) const {
  platform::Array out;
  const TLWPBFieldDescriptor* f =
      checkedField(*info_, index, kInt32 | kUInt32 | kUInt32ListElement | kInt64 | kUInt64 | kString, true);
  if (!f) return out;
  const TLWPBRepeatedField* list = listIn(info_->slot(static_cast<std::size_t>(index)));
  if (!list) return out;
  if (f->kind & kString) {
    out.reserve(list->strings.size());
    for (const auto& s : list->strings) out.emplace_back(s);
    return out;
  }
  out.reserve(list->numbers.size());
  for (std::uint64_t v : list->numbers) {
    if (isSignedKind(f->kind)) {
      out.emplace_back(static_cast<long long>(static_cast<std::int64_t>(v)));
    } else {
      out.emplace_back(static_cast<unsigned long long>(v));
    }
  }
  return out;
}

bool TLWPBMessage::SetRepeated(std::int32_t index, const platform::Array& values) {
  const TLWPBFieldDescriptor* f =
      checkedField(*info_, index, kInt32 | kUInt32 | kUInt32ListElement | kInt64 | kUInt64 | kString, true);
  if (!f) return false;
  auto list = std::make_unique<TLWPBRepeatedField>();
  for (const platform::Value& v : values) {
    if (f->kind & kString) {
      const std::string* s = v.string();
      if (!s) return false;
      list->strings.push_back(*s);
      continue;
    }
    if (!v.isNumber()) return false;
    if (isSignedKind(f->kind)) {
      auto n = v.int64Value();
      if (!n) return false;
      if ((f->kind & kInt32) && (*n < INT32_MIN || *n > INT32_MAX)) return false;
      list->numbers.push_back(static_cast<std::uint64_t>(*n));
    } else {
      if (v.int64Value().value_or(0) < 0 && v.kind() != platform::Value::Kind::UInt) return false;
      auto n = v.uint64Value();
      if (!n) return false;
      if ((f->kind & (kUInt32 | kUInt32ListElement)) && *n > UINT32_MAX) return false;
      list->numbers.push_back(*n);
    }
  }
  info_->slot(static_cast<std::size_t>(index)) = std::move(list);
  return true;
}

bool TLWPBMessage::setRepeatedMessages(std::int32_t index, const std::vector<const TLWPBMessage*>& values) {
  const TLWPBFieldDescriptor* f = checkedField(*info_, index, kMessage, true);
  if (!f) return false;
  auto list = std::make_unique<TLWPBRepeatedField>();
  list->messages.reserve(values.size());
  for (const TLWPBMessage* v : values) {
    if (!v || &v->descriptor() != &f->child()) return false;
    auto c = v->messageInfo().copy(kTLWPBMaxNestingDepth - 1);
    if (!c) return false;
    list->messages.push_back(std::move(c));
  }
  info_->slot(static_cast<std::size_t>(index)) = std::move(list);
  return true;
}

bool TLWPBMessage::moveRepeatedMessages(std::int32_t index,
                                        const std::vector<std::pair<TLWPBMessage*, bool>>& values) {
  const TLWPBFieldDescriptor* f = checkedField(*info_, index, kMessage, true);
  if (!f) return false;
  for (const auto& [v, mayTake] : values) {
    if (!v || &v->descriptor() != &f->child() || v == this) return false;
  }
  auto list = std::make_unique<TLWPBRepeatedField>();
  list->messages.reserve(values.size());
  for (const auto& [v, mayTake] : values) {
    if (mayTake) {
      list->messages.push_back(std::exchange(v->info_, std::make_unique<TLWPBMessageInfo>(f->child())));
      continue;
    }
    auto c = v->messageInfo().copy(kTLWPBMaxNestingDepth - 1);
    if (!c) return false;
    list->messages.push_back(std::move(c));
  }
  info_->slot(static_cast<std::size_t>(index)) = std::move(list);
  return true;
}

bool TLWPBMessage::AddRepeatedMessage(std::int32_t index, const TLWPBMessage& child) {
  const TLWPBFieldDescriptor* f = checkedField(*info_, index, kMessage, true);
  if (!f) return false;
  if (&child.descriptor() != &f->child()) return false;
  auto c = child.messageInfo().copy(kTLWPBMaxNestingDepth - 1);
  if (!c) return false;
  listOf(info_->slot(static_cast<std::size_t>(index))).messages.push_back(std::move(c));
  return true;
}

bool TLWPBMessage::isEqualMessage(const TLWPBMessage& other) const { return info_->isEqual(*other.info_); }

std::string TLWPBMessage::className() const { return std::string("TLWPB") + info_->messageID(); }

std::string TLWPBMessage::description() const {
  std::size_t set = 0;
  for (std::size_t i = 0; i < info_->fieldCount(); ++i) {
    if (!std::holds_alternative<std::monostate>(info_->slot(i))) ++set;
  }
  return "<" + className() + ": " + std::to_string(set) + " of " + std::to_string(info_->fieldCount()) +
         " fields set>";
}

bool TLWPBMessage::isEqual(const platform::ValueObject& other) const {
  const auto* o = dynamic_cast<const TLWPBMessage*>(&other);
  return o && isEqualMessage(*o);
}
