// libFuzzer target: the JSON the inspector and the local measurement service read (messages,
// control rules, HTTP dates) and the wire files the inspector decodes.
#include "tests/fuzz/FuzzToolsChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("tools_json", fuzzchecks::checkToolsInput, (void)0)
