// Persistence: the scene state and the layer-set files.
#include "persist.h"

#include "layers.h"
#include "module.h"

// Not yet built: save writes nothing and load keeps the instance as created.
HostError QXSave(HostInstance instance, const HostSaveState *state) {
  (void)instance;
  (void)state;
  return nullptr;
}

HostError QXLoad(HostInstance instance, const HostLoadState *state) {
  (void)instance;
  (void)state;
  return nullptr;
}
