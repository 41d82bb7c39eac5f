// Host binding: what the host sees first (the descriptor, the server table and
// the activations), the filter instance and its special-buffer entries, and
// the buffers the filter asks the host to render.
#include "module.h"

#include <stdlib.h>
#include <string.h>

#include "effect.h"
#include "layers.h"
#include "panel.h"
#include "persist.h"

#if defined(_WIN32)
#define QX_EXPORT __declspec(dllexport)
#else
#define QX_EXPORT __attribute__((visibility("default")))
#endif

HostGlobalFunc *global_func = nullptr;
FilterInstance *PanelOwner = nullptr;
int32_t Bcount = 0;
char Fnode[FILE_TEXT_LEN];
char Fpath[FILE_TEXT_LEN];
char Fname[FILE_TEXT_LEN];

const int32_t FlagTbl[BUF_INDEX_COUNT] = {
    HOST_BUF_SPECIAL,       HOST_BUF_ALPHA,          HOST_BUF_LUMINOUS,     HOST_BUF_DIFFUSE,
    HOST_BUF_SPECULAR,      HOST_BUF_REFLECTIVE,     HOST_BUF_TRANSPARENCY, HOST_BUF_SHADING,
    HOST_BUF_DIFFUSE_SHADE, HOST_BUF_SPECULAR_SHADE, HOST_BUF_SHADOW,       HOST_BUF_GEOMETRY,
    HOST_BUF_DEPTH,
};

const char *BufferNames[BUF_INDEX_COUNT + 1] = {
    "None",       "Alpha",        "Luminous", "Diffuse",       "Specular",
    "Reflective", "Transparency", "Shading",  "Diffuse Shade", "Specular Shade",
    "Shadow",     "Geometry",     "Depth",    nullptr,
};

// ---------------------------------------------------------------------------
// Descriptor, servers and activation

static const char kServerName[] = "Quintessalux";

static HostServerRecord ServerDesc[] = {
    {HOST_CLASS_PIXEL_FILTER, kServerName, QXHandler, nullptr},
    {HOST_CLASS_PIXEL_FILTER_UI, kServerName, QXInterface, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

extern "C" {

QX_EXPORT HostModuleDescriptor _mod_descrip = {
    HOST_MODULE_SYNC, HOST_MODULE_VERSION, HOST_MODULE_MACHINE, Startup, Shutdown, ServerDesc,
};

// A list of two null words that no record refers to; hosts look for it.
QX_EXPORT const char *UserNames[2] = {nullptr, nullptr};

int Startup(void) { return 4; }

void Shutdown(void) {}

int QXHandler(int version, HostGlobalFunc *global, void *local, void *serverData) {
  (void)serverData;
  if (version != HOST_ACTIVATE_VERSION) return HOST_AFUNC_BADVERSION;
  HostPixelFilterHandler *handler = static_cast<HostPixelFilterHandler *>(local);
  handler->inst->create = QXCreate;
  handler->inst->destroy = QXDestroy;
  handler->inst->copy = QXCopy;
  handler->inst->load = QXLoad;
  handler->inst->save = QXSave;
  handler->inst->descln = QXDescribe;
  handler->item->useItems = QXUseItems;
  handler->item->changeID = QXChangeID;
  handler->rend->init = QXInit;
  handler->rend->cleanup = QXCleanup;
  handler->rend->newTime = QXNewTime;
  handler->evaluate = QXEvaluate;
  handler->flags = QXFlags;
  global_func = global;
  return HOST_AFUNC_OK;
}

int QXInterface(int version, HostGlobalFunc *global, void *local, void *serverData) {
  (void)serverData;
  if (version != HOST_ACTIVATE_VERSION) return HOST_AFUNC_BADVERSION;
  HostPixelFilterInterface *ui = static_cast<HostPixelFilterInterface *>(local);
  ui->panel = nullptr;
  ui->options = QXOptions;
  ui->command = nullptr;
  // The panel reaches the host through the lookup a filter activation keeps.
  // A host may activate the interface first; the panel then uses this one
  // until a filter activation replaces it.
  if (global_func == nullptr) global_func = global;
  return HOST_AFUNC_OK;
}

#if defined(_WIN32)
// The library's own attach and detach hook: nothing to set up.
int __stdcall DllMain(void *module, unsigned long reason, void *reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return 1;
}
#endif

} // extern "C"

// ---------------------------------------------------------------------------
// Host services

void *HostService(const char *name) {
  return global_func != nullptr ? global_func(name, 0) : nullptr;
}

const HostSurfaceFuncs *SurfaceService() {
  void *service = HostService(HOST_SURFACE_FUNCS);
  if (service == nullptr) service = HostService(HOST_SURFACE_FUNCS_1);
  return static_cast<const HostSurfaceFuncs *>(service);
}

void ShowInfo(const char *text) {
  const HostMessageFuncs *messages =
      static_cast<const HostMessageFuncs *>(HostService(HOST_MESSAGE_FUNCS));
  if (messages != nullptr && messages->info != nullptr) messages->info(text, nullptr);
}

// ---------------------------------------------------------------------------
// Special-buffer values and instances

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

bool RoomForLayers(const FilterInstance *inst, int32_t more) {
  if (more < 0 || more > SCENE_MAX_LAYERS) return false;
  const int32_t limit = SCENE_MAX_LAYERS - more;
  int32_t total = 0;
  for (int32_t i = 0; i < inst->entryCount; ++i) {
    for (const Layer *layer = inst->entries[i].head; layer != nullptr; layer = layer->next) {
      if (++total > limit) return false;
    }
  }
  return true;
}

HostInstance QXCreate(void *priv, void *context, HostError *error) {
  (void)priv;
  (void)context;
  (void)error;
  FilterInstance *inst = static_cast<FilterInstance *>(calloc(1, sizeof(FilterInstance)));
  if (inst == nullptr) return nullptr;
  strcpy(inst->description, kServerName);

  double values[SB_MAX_ENTRIES];
  int32_t count = MakeSBList(values);
  if (count > 0) {
    inst->entries = static_cast<SBEntry *>(calloc(static_cast<size_t>(count), sizeof(SBEntry)));
    if (inst->entries == nullptr) count = 0; // an instance without entries is still usable
  }
  inst->entryCount = count;

  // A new instance's first request starts in the content directory, unless
  // another instance's panel is open: its list and requester stay its own.
  if (PanelOwner == nullptr) {
    Fnode[0] = Fpath[0] = Fname[0] = '\0';
    Bcount = count;
  }
  for (int32_t i = 0; i < count; ++i) {
    inst->entries[i].value = values[i];
    inst->entries[i].on = 0;
    inst->entries[i].head = nullptr;
  }

  inst->clip.valid = 0;
  inst->surfNames = nullptr;
  inst->surfColors = nullptr;
  inst->previewType = 0;
  inst->baseColor[0] = inst->baseColor[1] = inst->baseColor[2] = 1.0f;
  return inst;
}

void QXDestroy(HostInstance instance) {
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr) return;
  if (PanelOwner == inst) PanelOwner = nullptr;
  for (int32_t i = 0; i < inst->entryCount; ++i) DelAllLayer(&inst->entries[i]);
  free(inst->entries);
  free(inst);
}

namespace {

// Releases an entry array with all its stacks.
void FreeEntries(SBEntry *entries, int32_t count) {
  for (int32_t i = 0; i < count; ++i) DelAllLayer(&entries[i]);
  free(entries);
}

// A deep copy of an entry array: every stack is copied layer by layer, in
// order. Returns null when memory runs out, with nothing left allocated.
SBEntry *CopyEntries(const SBEntry *from, int32_t count) {
  if (count <= 0) return nullptr;
  SBEntry *to = static_cast<SBEntry *>(calloc(static_cast<size_t>(count), sizeof(SBEntry)));
  if (to == nullptr) return nullptr;
  for (int32_t i = 0; i < count; ++i) {
    to[i].value = from[i].value;
    to[i].on = from[i].on;
    to[i].head = nullptr;
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

} // namespace

HostError QXCopy(HostInstance first, HostInstance second) {
  const FilterInstance *from = static_cast<const FilterInstance *>(first);
  FilterInstance *to = static_cast<FilterInstance *>(second);
  if (from == nullptr || to == nullptr || from == to) return nullptr;

  // Two instances never share entries or layers: the copy gets stacks of its
  // own, so either can be destroyed without harming the other.
  SBEntry *entries = CopyEntries(from->entries, from->entryCount);
  if (entries == nullptr && from->entryCount > 0) return "Quintessalux: out of memory";

  FreeEntries(to->entries, to->entryCount);
  *to = *from;
  to->entries = entries;
  to->entryCount = entries != nullptr ? from->entryCount : 0;

  // The selection points into the source's stacks; find the same row in the
  // copy. The surface arrays belong to the source's open panel.
  to->curLayer = nullptr;
  if (from->curLayer != nullptr && from->curEntry >= 0 && from->curEntry < from->entryCount) {
    const SBEntry &src = from->entries[from->curEntry];
    int32_t row = 0;
    for (const Layer *l = src.head; l != nullptr && l != from->curLayer; l = l->next) ++row;
    to->curLayer = GetLayer(&to->entries[from->curEntry], row);
  }
  to->surfNames = nullptr;
  to->surfColors = nullptr;
  to->rowLayer = nullptr; // the source's row of the layer list
  return nullptr;
}

const char *QXDescribe(HostInstance instance) {
  return static_cast<FilterInstance *>(instance)->description;
}

// The callbacks below have nothing to do for this filter.
const HostItemID *QXUseItems(HostInstance instance) {
  (void)instance;
  return nullptr;
}

void QXChangeID(HostInstance instance, const HostItemID *ids) {
  (void)instance;
  (void)ids;
}

HostError QXInit(HostInstance instance, int mode) {
  (void)instance;
  (void)mode;
  return nullptr;
}

void QXCleanup(HostInstance instance) { (void)instance; }

HostError QXNewTime(HostInstance instance, int frame, double time) {
  (void)instance;
  (void)frame;
  (void)time;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Buffer requirements

unsigned int QXFlags(HostInstance instance) {
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  uint32_t mask = 1u << HOST_BUF_SPECIAL;
  for (int32_t i = 0; i < inst->entryCount; ++i) {
    for (const Layer *layer = inst->entries[i].head; layer != nullptr; layer = layer->next) {
      if (layer->type == LAYER_SHADOW) mask |= 1u << HOST_BUF_SHADOW;
      if (layer->mode == MODE_AMBIENT) {
        mask |= AMBIENT_FLAGS;
        continue;
      }
      // An index outside the table reads as "None" everywhere, so it asks
      // for nothing.
      const int32_t indices[2] = {layer->inBuffer, layer->alphaBuffer};
      for (int32_t index : indices) {
        if (!BufferIndexValid(index)) continue;
        const int32_t buffer = FlagTbl[index];
        if (buffer < 32) mask |= 1u << buffer;
      }
    }
  }
  return mask;
}
