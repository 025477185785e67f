/*
 * The engine framework's binary interface, as the launcher uses it.
 *
 * The framework is a shared object at
 *   <bundle>/Frameworks/VelmoraFramework.framework/VelmoraFramework
 * that exports one C function, VelmoraFrameworkPrincipalClass_getInstance (the principal
 * class's getInstance). It returns the framework's shared object: a VelmoraEngine that
 * lives until the process ends (the launcher never frees it), or NULL.
 *
 * The launcher accepts the object only when abiVersion equals
 * VELMORA_FRAMEWORK_ABI_VERSION and size is at least sizeof(VelmoraEngine); otherwise it
 * treats the framework as absent. A NULL function pointer means the operation is not
 * offered, and sending it has no effect.
 *
 * Operations (each receives `self` unchanged):
 *   appController(self)            the application controller, or NULL while the engine
 *                                  has not been set up.
 *   setExecuteHeader(self, header) the address of the executable's own ELF header; sent
 *                                  only while appController returns NULL.
 *   runUIApplicationMainWithArgc(self, argc, argv)
 *                                  runs the app's main loop with main's unchanged
 *                                  arguments; returns when the app quits.
 *
 * Thread-safety: the launcher calls everything on the process's main thread.
 */
#ifndef VELMORA_FRAMEWORK_H
#define VELMORA_FRAMEWORK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VELMORA_FRAMEWORK_ABI_VERSION 1u
#define VELMORA_FRAMEWORK_ENTRY_POINT "VelmoraFrameworkPrincipalClass_getInstance"

typedef struct VelmoraEngine {
  uint32_t abiVersion;
  uint32_t size;
  void* self;
  void* (*appController)(void* self);
  void (*setExecuteHeader)(void* self, const void* header);
  void (*runUIApplicationMainWithArgc)(void* self, int argc, char** argv);
} VelmoraEngine;

typedef const VelmoraEngine* (*VelmoraFrameworkGetInstanceFunction)(void);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_FRAMEWORK_H */
