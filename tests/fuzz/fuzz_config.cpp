// libFuzzer target: the config decoder on arbitrary bytes.
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("config", fuzzchecks::checkConfig, (void)0)
