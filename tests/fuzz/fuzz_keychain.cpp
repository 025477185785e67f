// libFuzzer target: the bytes as the keychain file and as a preference suite's file of a sandbox on
// disk, then read, written and removed.
#include "tests/fuzz/FuzzFileChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("keychain", fuzzchecks::checkSandboxFiles, platform::VXLSetLogSink(std::make_shared<fuzzchecks::QuietLog>()))
