#pragma once
// Shared by the engine tests, which run in one executable.

#include "tests/support/MonitorTestSupport.h"

namespace engine_test {

using tw_test_support::SharedMonitorLinesTest;
using tw_test_support::waitFor;

}  // namespace engine_test
