// Host binding: the module descriptor, server activation and the filter
// instance's callbacks: create, destroy, copy, describe, the empty ones, and
// the buffers the filter asks the host for.
#ifndef QX_MODULE_MODULE_H
#define QX_MODULE_MODULE_H

#include "entries.h"
#include "model.h"
#include "services.h"

// Instance callbacks.
HostInstance QXCreate(void *priv, void *context, HostError *error);
void QXDestroy(HostInstance instance);
HostError QXCopy(HostInstance first, HostInstance second);
const char *QXDescribe(HostInstance instance);
const HostItemID *QXUseItems(HostInstance instance);
void QXChangeID(HostInstance instance, const HostItemID *ids);
HostError QXInit(HostInstance instance, int mode);
void QXCleanup(HostInstance instance);
HostError QXNewTime(HostInstance instance, int frame, double time);
unsigned int QXFlags(HostInstance instance);

// Module entry and activation.
extern "C" {
int Startup(void);
void Shutdown(void);
int QXHandler(int version, HostGlobalFunc *global, void *local, void *serverData);
int QXInterface(int version, HostGlobalFunc *global, void *local, void *serverData);
}

#endif
