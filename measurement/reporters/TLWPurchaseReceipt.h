#pragma once
// TLWPurchaseReceipt: reads the app's store receipt by scanning its bytes for attribute
// patterns (not by decoding its container): the purchase records (TLWInAppPurchaseItem),
// whether the receipt was issued for this device and app, and the original application
// version.
//
// Thread-safety: pure functions over the bytes given; any thread.
//
// Bad input: the receipt is untrusted. Every read is bounded by the receipt's length; a
// truncated or garbage receipt yields fewer or no records and is not verified, never a
// crash. A receipt larger than kMaxReceiptBytes is not read at all.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class TLWMonitor;

// One purchase record of the store receipt.
struct TLWInAppPurchaseItem {
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::string subscriptionExpirationDateIA5String;
  std::string productID;
  std::string originalTransactionID;
  std::string transactionID;
  std::optional<std::uint64_t> webOrderLineItemID;
  std::string originalPurchaseDateIA5String;
  std::string purchaseDateIA5String;
  std::string cancellationDateIA5String;
  std::int64_t purchaseType = 0;  // 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable
};

class TLWPurchaseReceipt {
 public:
  static constexpr std::size_t kMaxReceiptBytes = 16u << 20;
  using Bytes = std::span<const std::uint8_t>;
  // A pattern byte of 255 matches any byte.
  static constexpr std::uint8_t kWildcard = 255;

  // The bytes that follow `pattern` at offset `k`, their count being the last wildcard's
  // byte; nullopt when the pattern does not match there or the count is 0 or overruns.
  static std::optional<Bytes> match(Bytes receipt, std::int64_t k, std::span<const std::uint8_t> pattern,
                                    TLWMonitor* monitor = nullptr);

  static std::vector<TLWInAppPurchaseItem> purchaseItems(Bytes receipt, TLWMonitor* monitor = nullptr);

  // SHA-1 of the vendor identifier's 16 bytes, the opaque value and the bundle identifier
  // attribute equals the receipt's hash. Logs why not (level 5).
  static bool isVerified(Bytes receipt, std::span<const std::uint8_t> vendorIdentifier,
                         const std::string& bundleIdentifier, TLWMonitor& monitor);

  // The original application version attribute, as UTF-8 after its two header bytes;
  // nullopt (logged) when absent or too short.
  static std::optional<std::string> originalApplicationVersion(Bytes receipt, TLWMonitor& monitor);

  // "yyyy-MM-ddTHH:mm:ss" followed by "Z" or "+hh:mm" / "-hh:mm" (also "+hhmm"), as seconds
  // since 1970; nullopt for anything else.
  static std::optional<double> parseDate(const std::string& text);
};
