#include "measurement/reporters/TLWPurchaseReceipt.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <set>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/Digest.h"
#include "platform/Value.h"

namespace {

using Bytes = TLWPurchaseReceipt::Bytes;
constexpr std::uint8_t W = TLWPurchaseReceipt::kWildcard;

constexpr std::array<std::uint8_t, 10> kBundlePattern{48, W, 2, 1, 2, 2, 1, W, 4, W};
constexpr std::array<std::uint8_t, 10> kOpaquePattern{48, W, 2, 1, 4, 2, 1, W, 4, W};
constexpr std::array<std::uint8_t, 10> kHashPattern{48, W, 2, 1, 5, 2, 1, W, 4, W};
constexpr std::array<std::uint8_t, 10> kVersionPattern{48, W, 2, 1, 19, 2, 1, W, 4, W};
constexpr std::array<std::uint8_t, 7> kRecordPattern{2, 1, 17, 2, 1, W, 4};

enum class Field { ProductID, TransactionID, OriginalTransactionID, Expiration, FreeTrial, IntroductoryOffer,
                   PurchaseType, WebOrderLineItemID, PurchaseDate, OriginalPurchaseDate, CancellationDate };
struct FieldPattern {
  Field field;
  std::uint8_t type;
  std::uint8_t valueTag;
};
constexpr std::array<FieldPattern, 11> kFields{{
    {Field::ProductID, 166, 12},          {Field::TransactionID, 167, 12},
    {Field::OriginalTransactionID, 169, 12}, {Field::Expiration, 172, 22},
    {Field::FreeTrial, 177, 2},           {Field::IntroductoryOffer, 183, 2},
    {Field::PurchaseType, 171, 2},        {Field::WebOrderLineItemID, 175, 2},
    {Field::PurchaseDate, 168, 22},       {Field::OriginalPurchaseDate, 170, 22},
    {Field::CancellationDate, 176, 22},
}};

std::string text(Bytes bytes) { return std::string(bytes.begin(), bytes.end()); }

bool isOneByteField(Field f) { return f == Field::FreeTrial || f == Field::IntroductoryOffer || f == Field::PurchaseType; }

bool flag(Bytes yield, std::int64_t code, const char* message, TLWMonitor* monitor) {
  if (yield[0] == 1) return true;
  if (yield[0] != 0 && monitor) monitor->logWithLevel(5, code, message);
  return false;
}

void readField(TLWInAppPurchaseItem& item, Field f, Bytes yield, TLWMonitor* monitor) {
  switch (f) {
    case Field::ProductID: item.productID = text(yield); break;
    case Field::TransactionID: item.transactionID = text(yield); break;
    case Field::OriginalTransactionID: item.originalTransactionID = text(yield); break;
    case Field::Expiration: item.subscriptionExpirationDateIA5String = text(yield); break;
    case Field::FreeTrial: item.freeTrial = flag(yield, 39025, "Subdata FT unexpected value", monitor); break;
    case Field::IntroductoryOffer:
      item.introductoryOffer = flag(yield, 39028, "Subdata IO unexpected value", monitor);
      break;
    case Field::PurchaseType: item.purchaseType = yield[0]; break;
    case Field::WebOrderLineItemID: {
      std::uint64_t value = 0;
      for (std::uint8_t b : yield) value = (value << 8) | b;  // keeps the low 64 bits
      if (value != 0) item.webOrderLineItemID = value;
      break;
    }
    case Field::PurchaseDate: item.purchaseDateIA5String = text(yield); break;
    case Field::OriginalPurchaseDate: item.originalPurchaseDateIA5String = text(yield); break;
    case Field::CancellationDate: item.cancellationDateIA5String = text(yield); break;
  }
}

}  // namespace

std::optional<Bytes> TLWPurchaseReceipt::match(Bytes receipt, std::int64_t k, std::span<const std::uint8_t> pattern,
                                               TLWMonitor* monitor) {
  const auto length = static_cast<std::int64_t>(receipt.size());
  const auto patternLength = static_cast<std::int64_t>(pattern.size());
  if (k < 0 || receipt.empty() || pattern.empty() || k + patternLength >= length) return std::nullopt;
  std::optional<std::uint8_t> last;
  for (std::int64_t i = 0; i < patternLength; ++i) {
    const std::uint8_t byte = receipt[static_cast<std::size_t>(k + i)];
    if (pattern[static_cast<std::size_t>(i)] == kWildcard) {
      last = byte;
    } else if (pattern[static_cast<std::size_t>(i)] != byte) {
      return std::nullopt;
    }
  }
  if (!last || *last == 0 || k + patternLength + *last > length) return std::nullopt;
  if (*last >= 128 && monitor) monitor->logWithLevel(5, 39027, "Data is longer than 127");
  return receipt.subspan(static_cast<std::size_t>(k + patternLength), *last);
}

std::vector<TLWInAppPurchaseItem> TLWPurchaseReceipt::purchaseItems(Bytes receipt, TLWMonitor* monitor) {
  std::vector<TLWInAppPurchaseItem> items;
  if (receipt.empty() || receipt.size() > kMaxReceiptBytes) return items;
  std::optional<TLWInAppPurchaseItem> current;
  std::set<Field> tried;
  const auto length = static_cast<std::int64_t>(receipt.size());
  for (std::int64_t k = 0; k + 1 < length; ++k) {
    if (auto yield = match(receipt, k, kRecordPattern, monitor); yield && !yield->empty()) {
      if (current && !current->productID.empty()) items.push_back(std::move(*current));
      current.emplace();
      tried.clear();
      k += static_cast<std::int64_t>(yield->size());
      continue;
    }
    if (!current) continue;
    for (const auto& field : kFields) {
      if (tried.contains(field.field)) continue;
      const std::array<std::uint8_t, 11> pattern{2, 2, 6, field.type, 2, 1, W, 4, W, field.valueTag, W};
      auto yield = match(receipt, k, pattern, monitor);
      if (!yield || yield->empty()) continue;
      tried.insert(field.field);
      if (isOneByteField(field.field) && yield->size() != 1) continue;
      readField(*current, field.field, *yield, monitor);
      k += static_cast<std::int64_t>(yield->size());
      break;
    }
  }
  if (current) items.push_back(std::move(*current));
  return items;
}

bool TLWPurchaseReceipt::isVerified(Bytes receipt, std::span<const std::uint8_t> vendorIdentifier,
                                    const std::string& bundleIdentifier, TLWMonitor& monitor) {
  if (receipt.empty()) {
    monitor.logWithLevel(5, 39011, "Parsed data is empty");
    return false;
  }
  if (vendorIdentifier.size() != 16) {
    monitor.logWithLevel(5, 39013, "Device ID data is nil");
    return false;
  }
  std::optional<Bytes> opaque, bundle, hash, record;
  const auto length = static_cast<std::int64_t>(receipt.size());
  for (std::int64_t k = 0; k < length && !(opaque && bundle && hash && record); ++k) {
    if (!opaque) opaque = match(receipt, k, kOpaquePattern, &monitor);
    if (!bundle) {
      bundle = match(receipt, k, kBundlePattern, &monitor);
      if (bundle) {
        const Bytes b = *bundle;
        if (b.size() <= 2) {
          monitor.logWithLevel(5, 39019, "B data is too short. Length", platform::Value(static_cast<long long>(b.size())));
        } else if (b[0] != 12) {
          monitor.logWithLevel(5, 39020, "B data byte 0 is wrong. Value", platform::Value(static_cast<int>(b[0])));
        } else if (b[1] != b.size() - 2) {
          monitor.logWithLevel(5, 39021, "B data byte 1 is wrong. Value, expected value",
                               platform::Value(static_cast<int>(b[1])), platform::Value(static_cast<long long>(b.size() - 2)));
        } else if (text(b.subspan(2)) != bundleIdentifier) {
          monitor.logWithLevel(5, 39022, "B data does not match actual string");
        }
      }
    }
    if (!hash) hash = match(receipt, k, kHashPattern, &monitor);
    if (!record) record = match(receipt, k, kRecordPattern, &monitor);
  }
  if (!record) return monitor.logWithLevel(5, 39014, "I data is missing"), false;
  if (!opaque) return monitor.logWithLevel(5, 39015, "O data is missing"), false;
  if (!bundle) return monitor.logWithLevel(5, 39016, "B data is missing"), false;
  if (!hash) return monitor.logWithLevel(5, 39017, "H data is missing"), false;
  std::vector<std::uint8_t> input(vendorIdentifier.begin(), vendorIdentifier.end());
  input.insert(input.end(), opaque->begin(), opaque->end());
  input.insert(input.end(), bundle->begin(), bundle->end());
  const auto digest = platform::sha1Digest(std::span<const std::uint8_t>(input));
  if (!digest.empty() && digest.size() == hash->size() && std::equal(digest.begin(), digest.end(), hash->begin())) {
    return true;
  }
  monitor.logWithLevel(5, 39018, "H data does not match");
  return false;
}

std::optional<std::string> TLWPurchaseReceipt::originalApplicationVersion(Bytes receipt, TLWMonitor& monitor) {
  std::optional<Bytes> version;
  const auto length = static_cast<std::int64_t>(receipt.size());
  for (std::int64_t k = 0; k < length && !version; ++k) version = match(receipt, k, kVersionPattern, &monitor);
  if (!version || version->size() <= 2) {
    monitor.logWithLevel(5, 39006, "V data is too short. Length",
                         platform::Value(static_cast<long long>(version ? version->size() : 0)));
    return std::nullopt;
  }
  const Bytes v = *version;
  if (v[0] != 12) monitor.logWithLevel(5, 39007, "V data byte 0 is wrong. Value", platform::Value(static_cast<int>(v[0])));
  if (v[1] != v.size() - 2) {
    monitor.logWithLevel(5, 39008, "V data byte 1 is wrong. Value, expected", platform::Value(static_cast<int>(v[1])),
                         platform::Value(static_cast<long long>(v.size() - 2)));
  }
  return text(v.subspan(2));
}

std::optional<double> TLWPurchaseReceipt::parseDate(const std::string& text) {
  int year, month, day, hour, minute, second, consumed = 0;
  if (text.size() < 20 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                                      &second, &consumed) != 6 || consumed != 19) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  const std::string zone = text.substr(19);
  long offset = 0;
  if (zone != "Z") {
    int zh = 0, zm = 0, used = 0;
    const char sign = zone[0];
    if ((sign != '+' && sign != '-') ||
        (std::sscanf(zone.c_str() + 1, "%2d:%2d%n", &zh, &zm, &used) != 2 &&
         std::sscanf(zone.c_str() + 1, "%2d%2d%n", &zh, &zm, &used) != 2) ||
        static_cast<std::size_t>(used) + 1 != zone.size()) {
      return std::nullopt;
    }
    offset = (zh * 3600L + zm * 60L) * (sign == '-' ? -1 : 1);
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<double>(timegm(&tm) - offset);
}
