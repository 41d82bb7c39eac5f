// The instance's special-buffer entries: collecting the scene's values, and
// making, copying, rebuilding and releasing entry arrays.
#include "entries.h"

#include <stdlib.h>

#include "layers.h"
#include "services.h"

FilterInstance *PanelOwner = nullptr;
int32_t Bcount = 0;

int32_t MakeSBList(double values[SB_MAX_ENTRIES]) {
  const HostSurfaceFuncs *surf = SurfaceService();
  if (surf == nullptr) return 0; // no surface service: no values
  int32_t count = 0;
  for (HostSurfaceID s = surf->first(); s != nullptr; s = surf->next(s)) {
    const double *param = surf->getFlt(s, "SpecialBuffer1");
    if (param == nullptr) continue; // a surface without the parameter carries no value
    const double v = *param;
    bool seen = false;
    for (int32_t i = 0; i < count; ++i) {
      if (values[i] == v) seen = true;
    }
    if (!seen && count < SB_MAX_ENTRIES) values[count++] = v;
  }
  return count;
}

SBEntry *AllocEntries(int32_t count) {
  if (count <= 0) return nullptr;
  return static_cast<SBEntry *>(calloc(static_cast<size_t>(count), sizeof(SBEntry)));
}

SBEntry *NewEntries(const double *values, int32_t count) {
  SBEntry *entries = AllocEntries(count);
  if (entries == nullptr) return nullptr;
  for (int32_t i = 0; i < count; ++i) entries[i].value = values[i];
  return entries;
}

void FreeEntries(SBEntry *entries, int32_t count) {
  if (entries == nullptr) return;
  for (int32_t i = 0; i < count; ++i) DelAllLayer(&entries[i]);
  free(entries);
}

SBEntry *CopyEntries(const SBEntry *from, int32_t count) {
  SBEntry *to = AllocEntries(count);
  if (to == nullptr) return nullptr;
  for (int32_t i = 0; i < count; ++i) {
    to[i].value = from[i].value;
    to[i].on = from[i].on;
    Layer *tail = nullptr;
    for (const Layer *src = from[i].head; src != nullptr; src = src->next) {
      Layer *copy = AppendLayerAfter(&to[i], tail);
      if (copy == nullptr) {
        FreeEntries(to, count);
        return nullptr;
      }
      *copy = *src; // every property; the copy's own links follow
      copy->prev = tail;
      copy->next = nullptr;
      tail = copy;
    }
  }
  return to;
}

namespace {

// The first entry carrying `value`, or -1.
int32_t FindValue(const SBEntry *entries, int32_t count, double value) {
  for (int32_t i = 0; i < count; ++i) {
    if (entries[i].value == value) return i;
  }
  return -1;
}

// Of several old entries with the same value (possible after a load), the one
// whose stack and switch the value keeps: the one the evaluation applies, that
// is the first that is on and holds layers, else simply the first.
int32_t KeeperOf(const SBEntry *entries, int32_t count, double value) {
  int32_t first = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (entries[i].value != value) continue;
    if (entries[i].on != 0 && entries[i].head != nullptr) return i;
    if (first < 0) first = i;
  }
  return first;
}

} // namespace

int RebuildEntries(FilterInstance *inst) {
  double values[SB_MAX_ENTRIES];
  const int32_t count = MakeSBList(values);
  SBEntry *fresh = NewEntries(values, count);
  if (count > 0 && fresh == nullptr) return -1; // the old entries stay as they were

  // Every old stack either moves to the new entry of its value or is released.
  SBEntry *old = inst->entries;
  const int32_t oldCount = inst->entryCount;
  for (int32_t i = 0; i < oldCount; ++i) {
    const int32_t j = FindValue(fresh, count, old[i].value);
    if (j >= 0 && KeeperOf(old, oldCount, old[i].value) == i) {
      fresh[j].on = old[i].on;
      fresh[j].value = old[i].value;
      fresh[j].head = old[i].head;
    } else {
      DelAllLayer(&old[i]);
    }
  }
  free(old);
  inst->entries = fresh;
  inst->entryCount = count;
  return 0;
}

int32_t LayerRoom(const FilterInstance *inst) {
  int32_t total = 0;
  for (int32_t i = 0; i < inst->entryCount; ++i) {
    for (const Layer *layer = inst->entries[i].head; layer != nullptr; layer = layer->next) {
      if (++total >= SCENE_MAX_LAYERS) return 0;
    }
  }
  return SCENE_MAX_LAYERS - total;
}

bool RoomForLayers(const FilterInstance *inst, int32_t more) {
  return more >= 0 && more <= LayerRoom(inst);
}
