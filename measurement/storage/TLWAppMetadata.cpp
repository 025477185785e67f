#include "measurement/storage/TLWAppMetadata.h"

#include <limits>

#include "measurement/monitor/TLWMonitor.h"

std::shared_ptr<TLWAppMetadata> TLWAppMetadata::initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                        double lastBundleStartTimestamp,
                                                                        double lastBundleEndTimestamp,
                                                                        const std::shared_ptr<TLWMonitor>& monitor) {
  if (lastBundleIndex < 0) {
    auto m = monitor ? monitor : TLWMonitor::sharedInstance();
    m->logWithLevel(2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return nullptr;
  }
  return std::make_shared<TLWAppMetadata>(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void TLWAppMetadata::incrementLastBundleIndex(const std::shared_ptr<TLWMonitor>& monitor) {
  if (lastBundleIndex_ == std::numeric_limits<std::int32_t>::max()) {
    lastBundleIndex_ = 0;
    auto m = monitor ? monitor : TLWMonitor::sharedInstance();
    m->logWithLevel(5, 4001, "Bundle index overflow. Bundle index reset to 0.");
    return;
  }
  ++lastBundleIndex_;
}
