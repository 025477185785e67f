/* A shared object in the framework's place that does not export the entry point. */
__attribute__((visibility("default"))) int velmoraUnrelatedFunction(int x) { return x + 1; }
