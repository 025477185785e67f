#pragma once
// TWKAAdExposureReporter: the family's name for the ad-exposure reporter, for the ads
// component. Its shared instance is TLWAdExposureReporter's, with its events logged
// through the front controller.
//
// Thread-safety: as TLWAdExposureReporter.

#include <memory>

#include "measurement/reporters/TLWAdExposureReporter.h"

class TWKAAdExposureReporter {
 public:
  static std::shared_ptr<TLWAdExposureReporter> sharedInstance();
};
