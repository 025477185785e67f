#include "measurement/model/TLWRawEventData.h"

#include "measurement/model/TLWModelLog.h"

std::shared_ptr<TLWRawEventData> TLWRawEventData::initWithRawEvent(std::shared_ptr<const TLWEvent> rawEvent,
                                                                   std::int64_t rowID,
                                                                   std::int64_t metadataFingerprint) {
  if (!rawEvent) {
    tlw_model::log(4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    tlw_model::log(4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
                   platform::Value(static_cast<long long>(rowID)));
    return nullptr;
  }
  return std::make_shared<TLWRawEventData>(Token{}, std::move(rawEvent), rowID, metadataFingerprint);
}
