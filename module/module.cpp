// Host binding: what the host sees first (the descriptor, the server table and
// the activations), the filter instance's life, and the buffers the filter
// asks the host to render. This unit stands above all others: the
// activation hands the host the callbacks of every subsystem.
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
// Instances

HostInstance QXCreate(void *priv, void *context, HostError *error) {
  (void)priv;
  (void)context;
  (void)error;
  FilterInstance *inst = static_cast<FilterInstance *>(calloc(1, sizeof(FilterInstance)));
  if (inst == nullptr) return nullptr;
  strcpy(inst->description, kServerName);

  double values[SB_MAX_ENTRIES];
  int32_t count = MakeSBList(values);
  inst->entries = NewEntries(values, count);
  if (inst->entries == nullptr) count = 0; // an instance without entries is still usable
  inst->entryCount = count;

  // A new instance's first request starts in the content directory, unless
  // another instance's panel is open: its list and requester stay its own.
  if (PanelOwner == nullptr) {
    Fnode[0] = Fpath[0] = Fname[0] = '\0';
    Bcount = count;
  }
  inst->clip.valid = 0;
  inst->surfNames = nullptr;
  inst->surfColors = nullptr;
  inst->previewType = 0;
  inst->baseColor[0] = inst->baseColor[1] = inst->baseColor[2] = 1.0f;
  PrepareEvaluation(inst);
  return inst;
}

void QXDestroy(HostInstance instance) {
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr) return;
  if (PanelOwner == inst) PanelOwner = nullptr;
  DropEvaluation(inst);
  FreeEntries(inst->entries, inst->entryCount);
  free(inst);
}

namespace {

// What a copy takes from its source: the description, `entries` (the
// source's, already copied), the selection (the same entry, and the layer at
// the same row of the copy's stack), the layer list's rows, the clipboard, and
// the preview's base colour and type. What it keeps of its own: the panel
// state, that is the services, the panel, the controls and their states, and
// the surface lists of the selected entry. Those belong to the instance whose
// panel it is (none, unless the copy's own panel is open), never to the
// source, whose controls the host destroys when that panel closes. The row
// cache of the layer list starts empty, and the evaluation's program is the
// caller's to make.
void TakeCopy(FilterInstance *to, const FilterInstance *from, SBEntry *entries) {
  memcpy(to->description, from->description, sizeof to->description);
  to->entries = entries;
  to->entryCount = entries != nullptr ? from->entryCount : 0;
  to->curEntry = from->curEntry;
  // The selection points into the source's stacks; find the same row in the
  // copy.
  to->curLayer = nullptr;
  if (from->curLayer != nullptr && from->curEntry >= 0 && from->curEntry < from->entryCount) {
    const SBEntry &src = from->entries[from->curEntry];
    int32_t row = 0;
    for (const Layer *l = src.head; l != nullptr && l != from->curLayer; l = l->next) ++row;
    to->curLayer = GetLayer(&to->entries[from->curEntry], row);
  }
  to->layerCount = from->layerCount;
  to->curLayerNo = from->curLayerNo;
  to->clip = from->clip;
  to->rowLayer = nullptr;
  to->rowHead = nullptr;
  to->rowNo = 0;
  to->rowChange = 0;
  memcpy(to->baseColor, from->baseColor, sizeof to->baseColor);
  to->previewType = from->previewType;
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

  DropEvaluation(to);
  FreeEntries(to->entries, to->entryCount);
  TakeCopy(to, from, entries);
  // An instance whose panel is open is edited without being prepared again;
  // it is prepared when the panel closes.
  if (to != PanelOwner) PrepareEvaluation(to);
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
  // Every entry counts, switched on or not, and every layer, active or not.
  uint32_t mask = 1u << HOST_BUF_SPECIAL;
  for (int32_t i = 0; i < inst->entryCount; ++i) mask |= ScanStack(inst->entries[i].head).mask;
  return mask;
}
