// The options panel: construction, the lists, the layer commands and the layer
// property controls.
#include "panel.h"

#include <stdio.h>
#include <stdlib.h>

#include "effect.h"
#include "layers.h"
#include "module.h"
#include "persist.h"
#include "preview.h"

int32_t Lcount = 0;
int32_t bmx = 0, mmx = 0, mmc = 0;

namespace {

const char kTitle[] = "Quintessalux ver. 1.9";
const char kNoPanels[] = "Could not access Panels global!";
const char kNoPanel[] = "Could not create requester panel!";

// Item lists handed to the host; they outlive every panel.
const char *const kLayerTypes[] = {"Surface", "Shadow", nullptr};
const char *const kPreviewTypes[] = {"Ball", "Cel-Look Ball", "Shadow", nullptr};

// One control of the panel: what the host makes, where it stands and who
// handles its events.
struct ControlSpec {
  const char *kind;
  const char *label;
  int descType;       // HOST_DESC_*
  int width;          // lists, buttons, areas and popups
  int extent;         // visible rows of a list, height of an area, 0 for a button
  const char **items; // popup items, ending with null
  HostListCountFunc *count;
  HostListNameFunc *name;
  int x, y;
  HostCtlEventFunc *handler;
};

// The host only reads item lists; its descriptor just does not say so.
constexpr const char **Items(const char *const *items) { return const_cast<const char **>(items); }

// The 28 controls in creation order, which is also the order of `ctl`.
const ControlSpec kControls[CTL_COUNT] = {
    {HOST_KIND_LISTBOX, "BufferList", HOST_DESC_LIST, 80, 11, nullptr, countFunc, nameFunc, 5, 30,
     listEvent},
    {HOST_KIND_LISTBOX, "Surface with select Specialbuffer", HOST_DESC_LIST, 248, 6, nullptr,
     SLcountFunc, SLnameFunc, 224, 216, SLlistEvent},
    {HOST_KIND_BOOL, "Active", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 5, 2, But_Active},
    {HOST_KIND_BUTTON, "Copy", HOST_DESC_AREA, 56, 0, nullptr, nullptr, nullptr, 364, 2, But_Copy},
    {HOST_KIND_BUTTON, "Paste", HOST_DESC_AREA, 56, 0, nullptr, nullptr, nullptr, 424, 2, But_Pst},
    {HOST_KIND_BUTTON, "Add Layer", HOST_DESC_AREA, 68, 0, nullptr, nullptr, nullptr, 116, 2,
     But_AddLayer},
    {HOST_KIND_BUTTON, "Del Layer", HOST_DESC_AREA, 68, 0, nullptr, nullptr, nullptr, 188, 2,
     But_DelLayer},
    {HOST_KIND_BUTTON, "Export", HOST_DESC_AREA, 80, 0, nullptr, nullptr, nullptr, 116, 216,
     Pop_SaveBuf},
    {HOST_KIND_BUTTON, "Import", HOST_DESC_AREA, 80, 0, nullptr, nullptr, nullptr, 116, 244,
     Pop_LoadBuf},
    {HOST_KIND_BUTTON, "*", HOST_DESC_AREA, 20, 0, nullptr, nullptr, nullptr, 116, 30,
     But_AllLayOn},
    {HOST_KIND_BUTTON, "-", HOST_DESC_AREA, 20, 0, nullptr, nullptr, nullptr, 135, 30,
     But_AllLayOff},
    {HOST_KIND_BUTTON, "I", HOST_DESC_AREA, 20, 0, nullptr, nullptr, nullptr, 154, 30,
     But_AllLayInv},
    {HOST_KIND_LISTBOX, "LayerList", HOST_DESC_LIST, 80, 9, nullptr, LayerCountFunc, LayerNameFunc,
     116, 49, LayerlistEvent},
    {HOST_KIND_BOOL, "*/-", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 174, 30, But_Enabled},
    {HOST_KIND_BUTTON, "up", HOST_DESC_AREA, 40, 0, nullptr, nullptr, nullptr, 116, 185, But_LayUp},
    {HOST_KIND_BUTTON, "down", HOST_DESC_AREA, 40, 0, nullptr, nullptr, nullptr, 155, 185,
     But_LayDown},
    {HOST_KIND_POPUP, "LayerType", HOST_DESC_CHOICE, 96, 0, Items(kLayerTypes), nullptr, nullptr,
     224, 32, Pop_Ltype},
    {HOST_KIND_BUTTON, "Color", HOST_DESC_AREA, 36, 0, nullptr, nullptr, nullptr, 224, 60, But_Col},
    {HOST_KIND_MINIRGB, "", HOST_DESC_IVEC, 0, 0, nullptr, nullptr, nullptr, 256, 60, ColorChg},
    {HOST_KIND_PERCENT, "Intensity", HOST_DESC_RANGE, 0, 0, nullptr, nullptr, nullptr, 224, 88,
     Sli_int},
    {HOST_KIND_POPUP, "Mode", HOST_DESC_CHOICE, 96, 0, popup1_data, nullptr, nullptr, 360, 88,
     Pop_type},
    {HOST_KIND_POPUP, "Input Buffer", HOST_DESC_CHOICE, 112, 0, BufferNames, nullptr, nullptr, 224,
     116, Pop_effect},
    {HOST_KIND_BOOL, "Invert", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 408, 116, But_inv},
    {HOST_KIND_POPUP, "AlphaBuffer", HOST_DESC_CHOICE, 112, 0, BufferNames, nullptr, nullptr, 224,
     144, Pop_Alpha},
    {HOST_KIND_PERCENT, "AlphaIntensity", HOST_DESC_RANGE, 0, 0, nullptr, nullptr, nullptr, 224,
     172, Sli_boost},
    {HOST_KIND_BOOL, "AlphaInvert", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 408, 144,
     But_alpinv},
    {HOST_KIND_AREA, "", HOST_DESC_AREA, 96, 80, nullptr, nullptr, nullptr, 5, 208, Area_Col},
    {HOST_KIND_POPUP, "", HOST_DESC_CHOICE, 96, 0, Items(kPreviewTypes), nullptr, nullptr, 0, 292,
     Pop_Pre},
};

// Until the user picks an entry, the layer commands and properties are shown
// disabled; this is the order in which they are ghosted.
const int kGhostedAtOpen[] = {
    CTL_ENABLED,      CTL_UP,         CTL_DOWN,         CTL_LAYER_TYPE,
    CTL_COLOR,        CTL_SWATCH,     CTL_INTENSITY,    CTL_MODE,
    CTL_IN_BUFFER,    CTL_INVERT,     CTL_ALPHA_BUFFER, CTL_ALPHA_INTENSITY,
    CTL_ALPHA_INVERT, CTL_COPY,       CTL_PASTE,        CTL_ADD_LAYER,
    CTL_DEL_LAYER,    CTL_EXPORT,     CTL_IMPORT,       CTL_ALL_ON,
    CTL_ALL_OFF,      CTL_ALL_INVERT,
};

HostCtlDesc DescOf(const ControlSpec &spec) {
  HostCtlDesc desc;
  switch (spec.descType) {
  case HOST_DESC_LIST:
    desc.list.type = HOST_DESC_LIST;
    desc.list.width = spec.width;
    desc.list.visibleRows = spec.extent;
    desc.list.count = spec.count;
    desc.list.name = spec.name;
    break;
  case HOST_DESC_AREA:
    desc.area.type = HOST_DESC_AREA;
    desc.area.width = spec.width;
    desc.area.height = spec.extent;
    break;
  case HOST_DESC_CHOICE:
    desc.choice.type = HOST_DESC_CHOICE;
    desc.choice.items = spec.items;
    desc.choice.width = spec.width;
    break;
  case HOST_DESC_RANGE: // percent controls run from 0 to 100
    desc.range.type = HOST_DESC_RANGE;
    desc.range.min = 0;
    desc.range.max = 100;
    break;
  default: // check boxes and the colour swatch carry nothing but their tag
    desc.type = spec.descType;
    break;
  }
  return desc;
}

// Control access through the host's typed value holders. A control the host
// did not make is left alone.
void SetInt(HostControl *control, int tag, intptr_t value) {
  if (control == nullptr) return;
  HostValue holder;
  holder.intv.type = HOST_VALUE_INT;
  holder.intv.value = value;
  control->set(control, tag, &holder);
}

void SetFloat(HostControl *control, int tag, double value) {
  if (control == nullptr) return;
  HostValue holder;
  holder.flt.type = HOST_VALUE_FLOAT;
  holder.flt.value = value;
  control->set(control, tag, &holder);
}

void SetIVec(HostControl *control, int tag, int red, int green, int blue) {
  if (control == nullptr) return;
  HostValue holder;
  holder.ivec.type = HOST_VALUE_IVEC;
  holder.ivec.value[0] = red;
  holder.ivec.value[1] = green;
  holder.ivec.value[2] = blue;
  control->set(control, tag, &holder);
}

void Draw(HostControl *control, int mode) {
  if (control != nullptr) control->draw(control, mode);
}

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

  SBEntry *fresh = nullptr;
  if (count > 0) {
    fresh = static_cast<SBEntry *>(calloc(static_cast<size_t>(count), sizeof(SBEntry)));
    if (fresh == nullptr) return -1; // the old entries stay as they were
  }
  for (int32_t j = 0; j < count; ++j) {
    fresh[j].value = values[j];
    fresh[j].on = 0;
    fresh[j].head = nullptr;
  }

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

const char *QXOptions(HostInstance instance) {
  FilterInstance *inst = static_cast<FilterInstance *>(instance);

  HostPanelFuncs *services = static_cast<HostPanelFuncs *>(HostService(HOST_PANEL_SERVICES));
  if (services == nullptr) return kNoPanels;
  HostPanelID panel = services->create(kTitle, services);
  if (panel == nullptr) return kNoPanel;

  // Each opening starts from the scene's surfaces as they are now. Should the
  // new array not be had, the old entries are still a consistent set to edit.
  (void)RebuildEntries(inst);
  Bcount = inst->entryCount;

  Lcount = 0;
  free(inst->surfNames);
  free(inst->surfColors);
  inst->surfNames = nullptr;
  inst->surfColors = nullptr;

  HostControl *ctl[CTL_COUNT];
  for (int i = 0; i < CTL_COUNT; ++i) {
    HostCtlDesc desc = DescOf(kControls[i]);
    ctl[i] = services->addControl(panel, kControls[i].kind, &desc, kControls[i].label);
  }
  for (int i = 0; i < CTL_COUNT; ++i) {
    SetInt(ctl[i], HOST_CTL_X, kControls[i].x);
    SetInt(ctl[i], HOST_CTL_Y, kControls[i].y);
  }

  inst->curEntry = -1;
  inst->curLayerNo = -1;
  inst->layerCount = 0;
  inst->curLayer = nullptr;

  SetInt(ctl[CTL_ACTIVE], HOST_CTL_VALUE, 0);
  SetIVec(ctl[CTL_SWATCH], HOST_CTL_VALUE, 0, 0, 0);
  SetFloat(ctl[CTL_INTENSITY], HOST_CTL_VALUE, 0.0);
  SetInt(ctl[CTL_MODE], HOST_CTL_VALUE, 0);

  Draw(ctl[CTL_ACTIVE], HOST_DRAW_ERASE);
  for (int number : kGhostedAtOpen) Draw(ctl[number], HOST_DRAW_GHOST);

  SetInt(ctl[CTL_PREVIEW_TYPE], HOST_CTL_VALUE, inst->previewType);

  inst->panelFuncs = services;
  inst->panel = panel;
  for (int i = 0; i < CTL_COUNT; ++i) {
    inst->ctl[i] = ctl[i];
    inst->ctlOn[i] = 0;
  }

  int width = PANEL_WIDTH, height = PANEL_HEIGHT;
  services->set(panel, HOST_PAN_W, &width);
  services->set(panel, HOST_PAN_H, &height);

  for (int i = 0; i < CTL_COUNT; ++i) {
    SetInt(ctl[i], HOST_CTL_USERDATA, reinterpret_cast<intptr_t>(inst));
    SetInt(ctl[i], HOST_CTL_EVENT, reinterpret_cast<intptr_t>(kControls[i].handler));
  }

  services->set(panel, HOST_PAN_DRAWFUNC, reinterpret_cast<void *>(redraw));
  services->set(panel, HOST_PAN_USERDATA, inst);

  // Centred on the display by the panel's nominal size.
  const HostDisplayMetrics *display = nullptr;
  if (services->drawFuncs != nullptr && services->drawFuncs->dispMetrics != nullptr)
    display = services->drawFuncs->dispMetrics();
  if (display != nullptr) {
    int x = (display->width - PANEL_WIDTH) / 2;
    int y = (display->height - PANEL_HEIGHT) / 2;
    services->set(panel, HOST_PAN_X, &x);
    services->set(panel, HOST_PAN_Y, &y);
  }

  // Every edit goes straight into the instance; closing keeps them all.
  (void)services->open(panel, HOST_PANF_BLOCKING);
  services->destroy(panel);

  free(inst->surfNames);
  free(inst->surfColors);
  inst->surfNames = nullptr;
  inst->surfColors = nullptr;
  return nullptr;
}

// ---------------------------------------------------------------------------
// List callbacks

namespace {

const char kNoRow[] = " ";

// Shift-JIS symbols of the layer types: a white circle for "Surface", a black
// one for "Shadow", a double circle for type 2.
const char *const kLayerRowFormats[] = {
    "%c \x81\x9B %s",
    "%c \x81\x9C %s",
    "%c \x81\x9D %s",
};

const SBEntry *SelectedEntry(const FilterInstance *inst) {
  if (inst->curEntry < 0 || inst->curEntry >= inst->entryCount) return nullptr;
  return &inst->entries[inst->curEntry];
}

} // namespace

int countFunc(void *instance) {
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  return inst != nullptr ? inst->entryCount : 0;
}

const char *nameFunc(void *instance, int row) {
  static char ret[64];
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  // Bcount can belong to another instance; the entry array bounds the row too.
  if (inst == nullptr || row < 0 || row >= Bcount || row >= inst->entryCount) {
    snprintf(ret, sizeof ret, "%s", kNoRow);
    return ret;
  }
  const SBEntry &entry = inst->entries[row];
  // The evaluation applies any entry whose switch is not 0, so it is marked on.
  snprintf(ret, sizeof ret, " %c       %3.2f", entry.on != 0 ? '*' : '-', entry.value);
  return ret;
}

int SLcountFunc(void *instance) {
  (void)instance;
  return Lcount;
}

const char *SLnameFunc(void *instance, int row) {
  static char ret[4];
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  if (inst != nullptr && inst->surfNames != nullptr && row >= 0 && row < Lcount &&
      inst->surfNames[row] != nullptr)
    return inst->surfNames[row];
  snprintf(ret, sizeof ret, "%s", kNoRow);
  return ret;
}

int LayerCountFunc(void *instance) {
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  return inst != nullptr ? inst->layerCount : 0;
}

const char *LayerNameFunc(void *instance, int row) {
  static char ret[32];
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  if (inst == nullptr) {
    snprintf(ret, sizeof ret, "%s", kNoRow);
    return ret;
  }
  // Beyond the list the host gets the last text again.
  if (row >= inst->layerCount || inst->layerCount <= 0) return ret;
  const SBEntry *entry = SelectedEntry(inst);
  const Layer *layer = entry != nullptr ? GetLayer(entry, row) : nullptr;
  if (layer == nullptr) {
    snprintf(ret, sizeof ret, "%s", kNoRow);
    return ret;
  }
  if (layer->type < 0 || layer->type > 2) return ret;
  // A mode outside the list can only come from damaged stored data.
  const char *mode = layer->mode >= 0 && layer->mode < MODE_COUNT ? popup1_data[layer->mode] : "?";
  snprintf(ret, sizeof ret, kLayerRowFormats[layer->type], layer->active == 1 ? '*' : '-', mode);
  return ret;
}

// ---------------------------------------------------------------------------
// Event handlers. Each is installed on its control already; the ones below
// are still to be written.

// Not built yet: picking a buffer row does nothing for now.
void listEvent(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: picking a surface does nothing for now.
void SLlistEvent(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: picking a layer row does nothing for now.
void LayerlistEvent(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Active" does nothing for now.
void But_Active(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Copy" does nothing for now.
void But_Copy(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Paste" does nothing for now.
void But_Pst(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Add Layer" does nothing for now.
void But_AddLayer(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Del Layer" does nothing for now.
void But_DelLayer(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "*" does nothing for now.
void But_AllLayOn(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "-" does nothing for now.
void But_AllLayOff(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "I" does nothing for now.
void But_AllLayInv(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "*/-" does nothing for now.
void But_Enabled(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "up" does nothing for now.
void But_LayUp(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "down" does nothing for now.
void But_LayDown(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "LayerType" does nothing for now.
void Pop_Ltype(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: the colour swatch does nothing for now.
void ColorChg(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Intensity" does nothing for now.
void Sli_int(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Mode" does nothing for now.
void Pop_type(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Input Buffer" does nothing for now.
void Pop_effect(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "Invert" does nothing for now.
void But_inv(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "AlphaBuffer" does nothing for now.
void Pop_Alpha(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "AlphaIntensity" does nothing for now.
void Sli_boost(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: "AlphaInvert" does nothing for now.
void But_alpinv(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

// Not built yet: the preview-type popup does nothing for now.
void Pop_Pre(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}
