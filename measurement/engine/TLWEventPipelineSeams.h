#pragma once
// The subsystems the event write path reaches through narrow interfaces: conditional user
// properties, lifetime value and the purchase receipt check. Each lives with its subsystem.

#include "measurement/properties/TLWConditionalUserPropertyProcessing.h"
#include "measurement/reporters/TLWLifetimeValueRecording.h"
#include "measurement/reporters/TLWPurchaseReceiptChecking.h"
