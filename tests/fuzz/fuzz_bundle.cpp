// libFuzzer target: the bundle decoder on arbitrary bytes.
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("bundle", fuzzchecks::checkBundle, (void)0)
