#pragma once
// The family's public names for library classes. Each adds nothing to its base; they
// exist so that callers may write the family's names. Bases that a later subsystem
// provides are declared here only; include their own header to use them.
//
// Thread-safety: as the base classes.

#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/model/TLWValue.h"

class TLWAdExposureReporter;
class TLWConditionalUserProperty;
class TLWConditionalUserPropertyController;
class TLWIdentifiers;
class TLWScreenViewReporter;
class TLWMeasurement;

using TWKAAdExposureReporter = TLWAdExposureReporter;
using TWKAConditionalUserProperty = TLWConditionalUserProperty;
using TWKAConditionalUserPropertyController = TLWConditionalUserPropertyController;
using TWKAEvent = TLWEvent;
using TWKAIdentifiers = TLWIdentifiers;
using TWKAScreenViewReporter = TLWScreenViewReporter;
using TWKAUserAttribute = TLWUserAttribute;
using TWKAValue = TLWValue;
// sharedInstance and userAttributeWithName are the engine's own.
using TWKAMeasurement = TLWMeasurement;
