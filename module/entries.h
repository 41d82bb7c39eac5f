// The instance's special-buffer entries: the scene's distinct values, the
// entry arrays that hold them with their stacks, and the bounds an instance
// keeps to.
#ifndef QX_MODULE_ENTRIES_H
#define QX_MODULE_ENTRIES_H

#include "model.h"

enum {
  // The most layers an instance holds in all its entries together, and the
  // most a stored scene state may hold, so that whatever is saved loads.
  SCENE_MAX_LAYERS = 65536,
};

// The instance whose options panel is open, null while none is. The buffer
// list's row count and the file requester's texts belong to it then, and
// other instances being made, loaded, copied or destroyed leave them alone.
extern FilterInstance *PanelOwner;
extern int32_t Bcount; // rows of the buffer list

// Fills `values` with the distinct "SpecialBuffer1" values of the scene's
// surfaces, in the host's order, and returns how many (at most
// SB_MAX_ENTRIES). No surface service gives none.
int32_t MakeSBList(double values[SB_MAX_ENTRIES]);

// A new entry array of `count` entries, each of value 0, switched off and
// empty; null for a count of 0 or when memory runs out. Every entry array is
// made here.
SBEntry *AllocEntries(int32_t count);
// A new entry array of `count` entries holding `values`, all switched off and
// empty; null for a count of 0 or when memory runs out.
SBEntry *NewEntries(const double *values, int32_t count);
// Releases an entry array with every stack it holds; null is ignored.
void FreeEntries(SBEntry *entries, int32_t count);
// A deep copy of an entry array: every stack is copied layer by layer, in
// order. Returns null when memory runs out, with nothing left allocated.
SBEntry *CopyEntries(const SBEntry *from, int32_t count);

// Rebuilds the instance's entries from the scene's surfaces, keeping the stack
// and switch of every value still present. Returns 0, or -1 when the new array
// cannot be allocated (the old entries then stay as they were).
int RebuildEntries(FilterInstance *inst);

// How many more layers the instance can take and still hold no more in all
// its entries together than SCENE_MAX_LAYERS; entries that a save leaves out
// count as well, so that whatever is saved loads. The count walks the stacks
// but stops at the limit: at most SCENE_MAX_LAYERS steps, less than the
// preview redraw that follows every added layer.
int32_t LayerRoom(const FilterInstance *inst);
// Whether the instance has room for `more` layers.
bool RoomForLayers(const FilterInstance *inst, int32_t more);

#endif
