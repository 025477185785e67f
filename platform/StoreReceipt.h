#pragma once
// Writing a store receipt in the phone store's layout: a set of attribute sequences
// (type, version, octet string) holding the bundle identifier, the original application
// version, an opaque value, the hash that binds them to the device's vendor identifier,
// and one purchase-record attribute (type 17) per purchase. The Linux store writes the
// app's receipt with it; tests build receipts with it.
//
// Thread-safety: pure functions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct StoreReceiptItem {
  std::string productID;
  std::string transactionID;
  std::string originalTransactionID;
  std::string purchaseDate;          // "yyyy-MM-ddTHH:mm:ssZ"
  std::string originalPurchaseDate;
  std::string subscriptionExpirationDate;  // "" leaves it out
  std::int64_t purchaseType = 1;     // 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::uint64_t webOrderLineItemID = 0;  // 0 leaves it out
};

struct StoreReceiptContents {
  std::string bundleIdentifier;
  std::string originalApplicationVersion;
  std::vector<std::uint8_t> opaqueValue;
  // The 16 bytes of the device's vendor identifier the hash is computed over.
  std::vector<std::uint8_t> vendorIdentifierBytes;
  std::vector<StoreReceiptItem> items;
};

std::vector<std::uint8_t> encodeStoreReceipt(const StoreReceiptContents& contents);

// The 16 bytes of a UUID string ("XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"); nullopt otherwise.
std::optional<std::vector<std::uint8_t>> uuidBytes(std::string_view uuid);

// A receipt date for seconds since 1970, UTC: "2026-12-06T21:55:00Z".
std::string storeReceiptDateString(double secondsSince1970);

}  // namespace platform
