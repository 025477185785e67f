#pragma once
// TLWPropertyFilter: one stored audience user-property filter, a row of property_filters
// (see TLWAudienceFilterRecord); its subject is the user property the filter applies to.

#include "measurement/storage/TLWAudienceFilterRecord.h"

class TLWPBPropertyFilter;
class TLWPropertyFilter;

extern template class TLWAudienceFilterRecord<TLWPropertyFilter, TLWPBPropertyFilter>;

class TLWPropertyFilter : public TLWAudienceFilterRecord<TLWPropertyFilter, TLWPBPropertyFilter> {
 public:
  using TLWAudienceFilterRecord::TLWAudienceFilterRecord;
  const std::string& propertyName() const { return subjectName(); }

 private:
  friend class TLWAudienceFilterRecord<TLWPropertyFilter, TLWPBPropertyFilter>;
  static std::int32_t subjectNameField();
};
