// Persistence: the layer line, the scene state and the layer-set files.
#ifndef QX_MODULE_PERSIST_H
#define QX_MODULE_PERSIST_H

#include <stdio.h>

#include "entries.h"

enum {
  SCENE_VERSION = -3, // version tag of the scene state and the layer-set files
  // Line lengths of the scene state: every line is written with the header's
  // length; load reads the header with that capacity and every other line
  // with the shorter one (terminating zero included).
  SCENE_HEADER_LEN = 120,
  SCENE_LINE_LEN = 80,
  // The most entries that load accepts from a stored scene state. The panel
  // never makes more than SB_MAX_ENTRIES entries, so a saved scene stays far
  // below it and below SCENE_MAX_LAYERS (entries.h); a larger count can only
  // come from damaged data, and load turns it away before it allocates
  // anything for it. At the caps the temporary line table takes
  // (4096 + 65536) x 80 bytes, about 5.3 MiB.
  SCENE_MAX_ENTRIES = 4096,
  LAYER_LINE_FIELDS = 12, // the numbers of a layer line
};

// The file requester's texts, shared by every instance (FILE_TEXT_LEN
// characters each): the full name it returned, its directory, and its
// base-name field.
extern char Fnode[FILE_TEXT_LEN];
extern char Fpath[FILE_TEXT_LEN];
extern char Fname[FILE_TEXT_LEN];

// The instance callbacks that write the entries that are switched on and hold
// layers into the scene, and replace the instance's entries with the stored
// ones. Load keeps the instance unchanged when the stored state is of another
// version or damaged, and tells the user.
HostError QXSave(HostInstance instance, const HostSaveState *state);
HostError QXLoad(HostInstance instance, const HostLoadState *state);

// The layer-set file of one stack. LayerSetWrite writes the stack of `entry`
// to `file` and closes it; it returns whether every byte reached the file.
bool LayerSetWrite(FILE *file, const SBEntry *entry);

// What reading a layer-set file came to.
enum LayerSetStatus {
  LAYER_SET_READ,      // the file's layers are in `made`
  LAYER_SET_REFUSED,   // another version, or damaged: nothing was made
  LAYER_SET_NO_MEMORY, // memory ran out: nothing was made
};
// Reads a layer-set file into the empty stack of `made`, its first layer line
// at position 0. A file that announces more than `room` layers is refused.
// Layers whose numbers the file runs short of keep the defaults.
LayerSetStatus LayerSetRead(FILE *file, int32_t room, SBEntry *made);

// Panel handlers of the "Export" and "Import" buttons.
void Pop_SaveBuf(HostControl *control, void *instance);
void Pop_LoadBuf(HostControl *control, void *instance);

#endif
