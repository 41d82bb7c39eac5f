// The module's one link back into the host: the global-service lookup that
// the activation keeps, and the services the module finds through it.
#ifndef QX_MODULE_SERVICES_H
#define QX_MODULE_SERVICES_H

#include "qx/host.h"

extern HostGlobalFunc *global_func; // the host's lookup, null until activated

// A host service by name, through global_func; null when it is missing.
void *HostService(const char *name);
// "Surface Functions 2", else "Surface Functions"; null when neither is there.
const HostSurfaceFuncs *SurfaceService();
// Shows a message through "Info Messages 2", if the host has it.
void ShowInfo(const char *text);

#endif
