// libFuzzer target: the property-list reader (nesting checks and libplist) on arbitrary bytes.
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("plist", fuzzchecks::checkPropertyList, (void)0)
