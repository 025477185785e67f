#include "measurement/storage/TLWPropertyFilter.h"

#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWAudienceFilterRecordImpl.h"

std::int32_t TLWPropertyFilter::subjectNameField() {
  return TLWPBPropertyFilter::kPropertyName;
}

template class TLWAudienceFilterRecord<TLWPropertyFilter, TLWPBPropertyFilter>;
