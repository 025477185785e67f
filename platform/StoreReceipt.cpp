#include "platform/StoreReceipt.h"

#include <cmath>
#include <ctime>

#include "platform/Digest.h"

namespace platform {

namespace {

using Bytes = std::vector<std::uint8_t>;

void appendLength(Bytes& out, std::size_t length) {
  if (length < 128) {
    out.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  Bytes be;
  for (std::size_t n = length; n > 0; n >>= 8) be.insert(be.begin(), static_cast<std::uint8_t>(n & 0xff));
  out.push_back(static_cast<std::uint8_t>(0x80 | be.size()));
  out.insert(out.end(), be.begin(), be.end());
}

Bytes element(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  appendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes text(std::uint8_t tag, std::string_view s) { return element(tag, Bytes(s.begin(), s.end())); }

Bytes integer(std::uint64_t value) {
  Bytes be;
  do {
    be.insert(be.begin(), static_cast<std::uint8_t>(value & 0xff));
    value >>= 8;
  } while (value != 0);
  if (be.front() & 0x80) be.insert(be.begin(), 0);
  return element(2, be);
}

// SEQUENCE { INTEGER type, INTEGER version, OCTET STRING value }; the type takes two
// bytes from 256 on, as purchase-record fields do.
Bytes attribute(std::uint64_t type, const Bytes& value) {
  Bytes content = integer(type);
  const Bytes version = integer(1);
  content.insert(content.end(), version.begin(), version.end());
  const Bytes octets = element(4, value);
  content.insert(content.end(), octets.begin(), octets.end());
  return element(0x30, content);
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes record(const StoreReceiptItem& item) {
  Bytes fields;
  append(fields, attribute(1702, text(12, item.productID)));
  append(fields, attribute(1703, text(12, item.transactionID)));
  append(fields, attribute(1705, text(12, item.originalTransactionID)));
  if (!item.subscriptionExpirationDate.empty()) append(fields, attribute(1708, text(22, item.subscriptionExpirationDate)));
  append(fields, attribute(1713, integer(item.freeTrial ? 1 : 0)));
  append(fields, attribute(1719, integer(item.introductoryOffer ? 1 : 0)));
  append(fields, attribute(1707, integer(static_cast<std::uint64_t>(item.purchaseType))));
  if (item.webOrderLineItemID != 0) append(fields, attribute(1711, integer(item.webOrderLineItemID)));
  append(fields, attribute(1704, text(22, item.purchaseDate)));
  append(fields, attribute(1706, text(22, item.originalPurchaseDate)));
  return element(0x31, fields);
}

}  // namespace

std::vector<std::uint8_t> encodeStoreReceipt(const StoreReceiptContents& contents) {
  const Bytes bundleValue = text(12, contents.bundleIdentifier);
  Bytes hashInput = contents.vendorIdentifierBytes;
  append(hashInput, contents.opaqueValue);
  append(hashInput, bundleValue);
  const auto hash = sha1Digest(std::span<const std::uint8_t>(hashInput));

  Bytes attributes;
  append(attributes, attribute(2, bundleValue));
  append(attributes, attribute(19, text(12, contents.originalApplicationVersion)));
  append(attributes, attribute(4, contents.opaqueValue));
  append(attributes, attribute(5, Bytes(hash.begin(), hash.end())));
  for (const auto& item : contents.items) append(attributes, attribute(17, record(item)));
  return element(0x31, attributes);
}

std::optional<std::vector<std::uint8_t>> uuidBytes(std::string_view uuid) {
  std::string hex;
  for (char c : uuid) {
    if (c != '-') hex.push_back(c);
  }
  if (hex.size() != 32 || uuid.size() != 36) return std::nullopt;
  return bytesFromHexString(hex);
}

std::string storeReceiptDateString(double secondsSince1970) {
  const std::time_t t = static_cast<std::time_t>(std::floor(secondsSince1970));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

}  // namespace platform
