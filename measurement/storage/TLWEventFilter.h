#pragma once
// TLWEventFilter: one stored audience event filter, a row of event_filters (see
// TLWAudienceFilterRecord); its subject is the event the filter applies to.

#include "measurement/storage/TLWAudienceFilterRecord.h"

class TLWPBEventFilter;
class TLWEventFilter;

extern template class TLWAudienceFilterRecord<TLWEventFilter, TLWPBEventFilter>;

class TLWEventFilter : public TLWAudienceFilterRecord<TLWEventFilter, TLWPBEventFilter> {
 public:
  using TLWAudienceFilterRecord::TLWAudienceFilterRecord;
  const std::string& eventName() const { return subjectName(); }

 private:
  friend class TLWAudienceFilterRecord<TLWEventFilter, TLWPBEventFilter>;
  static std::int32_t subjectNameField();
};
