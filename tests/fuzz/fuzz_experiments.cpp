// libFuzzer target: the SDK-experiments answer as the task manager reads it (bounded inflation,
// decoding, snapshots and flags).
#include "tests/fuzz/FuzzAnswerChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("experiments", fuzzchecks::checkExperimentAnswer, (void)0)
