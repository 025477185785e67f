/* A test engine framework that records what the launcher sends it. In process the test
 * reads the exported counters; as a separate process it appends to the file named by
 * $VELMORA_TEST_REPORT. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher/VelmoraFramework.h"

__attribute__((visibility("default"))) int velmoraTestGetInstanceCalls = 0;
__attribute__((visibility("default"))) int velmoraTestHeaderCalls = 0;
__attribute__((visibility("default"))) const void* velmoraTestLastHeader = NULL;
__attribute__((visibility("default"))) int velmoraTestRunCalls = 0;

static int controller = 42;

static void report(const char* line) {
  const char* path = getenv("VELMORA_TEST_REPORT");
  if (!path) return;
  FILE* f = fopen(path, "a");
  if (!f) return;
  fprintf(f, "%s\n", line);
  fclose(f);
}

static void* appController(void* self) {
  (void)self;
#ifdef HAS_APP_CONTROLLER
  return &controller;
#else
  (void)controller;
  return NULL;
#endif
}

static void setExecuteHeader(void* self, const void* header) {
  (void)self;
  ++velmoraTestHeaderCalls;
  velmoraTestLastHeader = header;
  report(header && memcmp(header, "\177ELF", 4) == 0 ? "header ELF" : "header other");
}

static void runMain(void* self, int argc, char** argv) {
  char line[512];
  (void)self;
  ++velmoraTestRunCalls;
  snprintf(line, sizeof line, "run argc=%d", argc);
  report(line);
  for (int i = 0; i < argc; ++i) {
    snprintf(line, sizeof line, "arg %s", argv[i]);
    report(line);
  }
}

static const VelmoraEngine engine = {
#ifdef WRONG_ABI_VERSION
    VELMORA_FRAMEWORK_ABI_VERSION + 1,
#else
    VELMORA_FRAMEWORK_ABI_VERSION,
#endif
    sizeof(VelmoraEngine), NULL, &appController, &setExecuteHeader, &runMain};

__attribute__((visibility("default"))) const VelmoraEngine* VelmoraFrameworkPrincipalClass_getInstance(void) {
  ++velmoraTestGetInstanceCalls;
  report("getInstance");
  return &engine;
}
