// libFuzzer target: an HTTP answer split into status, header lines and body, read by the network
// client's header parsing, the configuration fetcher and the uploader.
#include "tests/fuzz/FuzzAnswerChecks.h"
#include "tests/fuzz/FuzzTarget.h"

TW_FUZZ_TARGET("http_answer", fuzzchecks::checkServiceAnswer, (void)0)
