// libFuzzer target: arbitrary bytes as an event-editing program, run against a fixed
// event.
#include "tests/fuzz/FuzzScriptChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("script", fuzzchecks::checkScript, (void)0)
