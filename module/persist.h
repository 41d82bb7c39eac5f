// Persistence: the scene state and the layer-set files.
#ifndef QX_MODULE_PERSIST_H
#define QX_MODULE_PERSIST_H

#include "qx/host.h"

enum {
  SCENE_VERSION = -3, // version tag of the scene state and the layer-set files
  // Line lengths of the scene state: every line is written with the header's
  // length; load reads the header with that capacity and every other line
  // with the shorter one (terminating zero included).
  SCENE_HEADER_LEN = 120,
  SCENE_LINE_LEN = 80,
  // The most that load accepts from a stored scene state. The panel never
  // makes more than SB_MAX_ENTRIES entries, so a saved scene stays far below
  // both; a larger count can only come from damaged data, and load turns it
  // away before it allocates anything for it. At the caps the temporary line
  // table takes (4096 + 65536) x 80 bytes, about 5.3 MiB.
  SCENE_MAX_ENTRIES = 4096, // entries in one scene state
  SCENE_MAX_LAYERS = 65536, // layers in one scene state, all entries together
};

// The instance callbacks that write the entries that are switched on and hold
// layers into the scene, and replace the instance's entries with the stored
// ones. Load keeps the instance unchanged when the stored state is of another
// version or damaged, and tells the user.
HostError QXSave(HostInstance instance, const HostSaveState *state);
HostError QXLoad(HostInstance instance, const HostLoadState *state);

// Panel handlers of the "Export" and "Import" buttons.
void Pop_SaveBuf(HostControl *control, void *instance);
void Pop_LoadBuf(HostControl *control, void *instance);

#endif
