// Persistence: the scene state and the layer-set files.
#ifndef QX_MODULE_PERSIST_H
#define QX_MODULE_PERSIST_H

#include "qx/host.h"

HostError QXSave(HostInstance instance, const HostSaveState *state);
HostError QXLoad(HostInstance instance, const HostLoadState *state);

// Panel handlers of the "Export" and "Import" buttons.
void Pop_SaveBuf(HostControl *control, void *instance);
void Pop_LoadBuf(HostControl *control, void *instance);

#endif
