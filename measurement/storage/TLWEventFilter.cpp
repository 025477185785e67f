#include "measurement/storage/TLWEventFilter.h"

#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWAudienceFilterRecordImpl.h"

std::int32_t TLWEventFilter::subjectNameField() {
  return TLWPBEventFilter::kEventName;
}

template class TLWAudienceFilterRecord<TLWEventFilter, TLWPBEventFilter>;
