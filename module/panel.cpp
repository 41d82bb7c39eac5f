// The options panel: construction, the lists, the layer commands and the layer
// property controls.
#include "panel.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "controls.h"
#include "effect.h"
#include "entries.h"
#include "layers.h"
#include "persist.h"
#include "preview.h"
#include "services.h"

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
struct ControlDef {
  int number; // CTL_*, its place in the table
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

// The 28 controls in creation order, which is also the order of `ctl`; each
// row carries its number.
constexpr ControlDef kControls[CTL_COUNT] = {
    {CTL_BUFFER_LIST, HOST_KIND_LISTBOX, "BufferList", HOST_DESC_LIST, 80, 11, nullptr, countFunc,
     nameFunc, 5, 30, listEvent},
    {CTL_SURFACE_LIST, HOST_KIND_LISTBOX, "Surface with select Specialbuffer", HOST_DESC_LIST, 248,
     6, nullptr, SLcountFunc, SLnameFunc, 224, 216, SLlistEvent},
    {CTL_ACTIVE, HOST_KIND_BOOL, "Active", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 5, 2,
     But_Active},
    {CTL_COPY, HOST_KIND_BUTTON, "Copy", HOST_DESC_AREA, 56, 0, nullptr, nullptr, nullptr, 364, 2,
     But_Copy},
    {CTL_PASTE, HOST_KIND_BUTTON, "Paste", HOST_DESC_AREA, 56, 0, nullptr, nullptr, nullptr, 424, 2,
     But_Pst},
    {CTL_ADD_LAYER, HOST_KIND_BUTTON, "Add Layer", HOST_DESC_AREA, 68, 0, nullptr, nullptr, nullptr,
     116, 2, But_AddLayer},
    {CTL_DEL_LAYER, HOST_KIND_BUTTON, "Del Layer", HOST_DESC_AREA, 68, 0, nullptr, nullptr, nullptr,
     188, 2, But_DelLayer},
    {CTL_EXPORT, HOST_KIND_BUTTON, "Export", HOST_DESC_AREA, 80, 0, nullptr, nullptr, nullptr, 116,
     216, Pop_SaveBuf},
    {CTL_IMPORT, HOST_KIND_BUTTON, "Import", HOST_DESC_AREA, 80, 0, nullptr, nullptr, nullptr, 116,
     244, Pop_LoadBuf},
    {CTL_ALL_ON, HOST_KIND_BUTTON, "*", HOST_DESC_AREA, 20, 0, nullptr, nullptr, nullptr, 116, 30,
     But_AllLayOn},
    {CTL_ALL_OFF, HOST_KIND_BUTTON, "-", HOST_DESC_AREA, 20, 0, nullptr, nullptr, nullptr, 135, 30,
     But_AllLayOff},
    {CTL_ALL_INVERT, HOST_KIND_BUTTON, "I", HOST_DESC_AREA, 20, 0, nullptr, nullptr, nullptr, 154,
     30, But_AllLayInv},
    {CTL_LAYER_LIST, HOST_KIND_LISTBOX, "LayerList", HOST_DESC_LIST, 80, 9, nullptr, LayerCountFunc,
     LayerNameFunc, 116, 49, LayerlistEvent},
    {CTL_ENABLED, HOST_KIND_BOOL, "*/-", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 174, 30,
     But_Enabled},
    {CTL_UP, HOST_KIND_BUTTON, "up", HOST_DESC_AREA, 40, 0, nullptr, nullptr, nullptr, 116, 185,
     But_LayUp},
    {CTL_DOWN, HOST_KIND_BUTTON, "down", HOST_DESC_AREA, 40, 0, nullptr, nullptr, nullptr, 155, 185,
     But_LayDown},
    {CTL_LAYER_TYPE, HOST_KIND_POPUP, "LayerType", HOST_DESC_CHOICE, 96, 0, Items(kLayerTypes),
     nullptr, nullptr, 224, 32, Pop_Ltype},
    {CTL_COLOR, HOST_KIND_BUTTON, "Color", HOST_DESC_AREA, 36, 0, nullptr, nullptr, nullptr, 224,
     60, But_Col},
    {CTL_SWATCH, HOST_KIND_MINIRGB, "", HOST_DESC_IVEC, 0, 0, nullptr, nullptr, nullptr, 256, 60,
     ColorChg},
    {CTL_INTENSITY, HOST_KIND_PERCENT, "Intensity", HOST_DESC_RANGE, 0, 0, nullptr, nullptr,
     nullptr, 224, 88, Sli_int},
    {CTL_MODE, HOST_KIND_POPUP, "Mode", HOST_DESC_CHOICE, 96, 0, Items(popup1_data), nullptr,
     nullptr, 360, 88, Pop_type},
    {CTL_IN_BUFFER, HOST_KIND_POPUP, "Input Buffer", HOST_DESC_CHOICE, 112, 0, BufferNames, nullptr,
     nullptr, 224, 116, Pop_effect},
    {CTL_INVERT, HOST_KIND_BOOL, "Invert", HOST_DESC_BOOL, 0, 0, nullptr, nullptr, nullptr, 408,
     116, But_inv},
    {CTL_ALPHA_BUFFER, HOST_KIND_POPUP, "AlphaBuffer", HOST_DESC_CHOICE, 112, 0, BufferNames,
     nullptr, nullptr, 224, 144, Pop_Alpha},
    {CTL_ALPHA_INTENSITY, HOST_KIND_PERCENT, "AlphaIntensity", HOST_DESC_RANGE, 0, 0, nullptr,
     nullptr, nullptr, 224, 172, Sli_boost},
    {CTL_ALPHA_INVERT, HOST_KIND_BOOL, "AlphaInvert", HOST_DESC_BOOL, 0, 0, nullptr, nullptr,
     nullptr, 408, 144, But_alpinv},
    {CTL_PREVIEW_AREA, HOST_KIND_AREA, "", HOST_DESC_AREA, 96, 80, nullptr, nullptr, nullptr, 5,
     208, Area_Col},
    {CTL_PREVIEW_TYPE, HOST_KIND_POPUP, "", HOST_DESC_CHOICE, 96, 0, Items(kPreviewTypes), nullptr,
     nullptr, 0, 292, Pop_Pre},
};

// Every control's row stands at its number. A missing row leaves the last one
// zero, so it fails too.
constexpr bool ControlRowsInPlace() {
  for (int i = 0; i < CTL_COUNT; ++i) {
    if (kControls[i].number != i || kControls[i].kind == nullptr) return false;
  }
  return true;
}
static_assert(ControlRowsInPlace(), "kControls: a control's row is missing or out of place");

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

HostCtlDesc DescOf(const ControlDef &def) {
  HostCtlDesc desc;
  switch (def.descType) {
  case HOST_DESC_LIST:
    desc.list.type = HOST_DESC_LIST;
    desc.list.width = def.width;
    desc.list.visibleRows = def.extent;
    desc.list.count = def.count;
    desc.list.name = def.name;
    break;
  case HOST_DESC_AREA:
    desc.area.type = HOST_DESC_AREA;
    desc.area.width = def.width;
    desc.area.height = def.extent;
    break;
  case HOST_DESC_CHOICE:
    desc.choice.type = HOST_DESC_CHOICE;
    desc.choice.items = def.items;
    desc.choice.width = def.width;
    break;
  case HOST_DESC_RANGE: // percent controls run from 0 to 100
    desc.range.type = HOST_DESC_RANGE;
    desc.range.min = 0;
    desc.range.max = 100;
    break;
  default: // check boxes and the colour swatch carry nothing but their tag
    desc.type = def.descType;
    break;
  }
  return desc;
}

// Clears the instance's hold on a panel: the services, the panel and the
// controls to null, every control's `ctlOn` to 0, and the selected entry's
// surface lists released. Done when the panel opens, before its controls are
// made, and when it has closed, after the host destroyed them, so that
// nothing reaches a destroyed control.
void ResetPanelHandles(FilterInstance *inst) {
  inst->panelFuncs = nullptr;
  inst->panel = nullptr;
  for (int i = 0; i < CTL_COUNT; ++i) {
    inst->ctl[i] = nullptr;
    inst->ctlOn[i] = 0;
  }
  free(inst->surfNames);
  free(inst->surfColors);
  inst->surfNames = nullptr;
  inst->surfColors = nullptr;
}

} // namespace

const char *QXOptions(HostInstance instance) {
  FilterInstance *inst = static_cast<FilterInstance *>(instance);

  HostPanelFuncs *services = static_cast<HostPanelFuncs *>(HostService(HOST_PANEL_SERVICES));
  if (services == nullptr) return kNoPanels;
  HostPanelID panel = services->create(kTitle, services);
  if (panel == nullptr) return kNoPanel;

  // While the panel is open, its handlers change the entries and layers at
  // every event: the evaluation walks them as they are, and they are
  // prepared for it again when the panel closes.
  DropEvaluation(inst);

  // Each opening starts from the scene's surfaces as they are now. Should the
  // new array not be had, the old entries are still a consistent set to edit.
  (void)RebuildEntries(inst);
  Bcount = inst->entryCount;

  Lcount = 0;
  ResetPanelHandles(inst);

  HostControl *ctl[CTL_COUNT];
  for (int i = 0; i < CTL_COUNT; ++i) {
    HostCtlDesc desc = DescOf(kControls[i]);
    ctl[i] = services->addControl(panel, kControls[i].kind, &desc, kControls[i].label);
  }
  for (int i = 0; i < CTL_COUNT; ++i) {
    CtlSetInt(ctl[i], HOST_CTL_X, kControls[i].x);
    CtlSetInt(ctl[i], HOST_CTL_Y, kControls[i].y);
  }

  inst->curEntry = -1;
  inst->curLayerNo = -1;
  inst->layerCount = 0;
  inst->curLayer = nullptr;

  CtlSetInt(ctl[CTL_ACTIVE], HOST_CTL_VALUE, 0);
  CtlSetIVec(ctl[CTL_SWATCH], HOST_CTL_VALUE, 0, 0, 0);
  CtlSetFloat(ctl[CTL_INTENSITY], HOST_CTL_VALUE, 0.0);
  CtlSetInt(ctl[CTL_MODE], HOST_CTL_VALUE, 0);

  CtlDraw(ctl[CTL_ACTIVE], HOST_DRAW_ERASE);
  for (int number : kGhostedAtOpen) CtlDraw(ctl[number], HOST_DRAW_GHOST);

  CtlSetInt(ctl[CTL_PREVIEW_TYPE], HOST_CTL_VALUE, inst->previewType);

  inst->panelFuncs = services;
  inst->panel = panel;
  for (int i = 0; i < CTL_COUNT; ++i) inst->ctl[i] = ctl[i];

  int width = PANEL_WIDTH, height = PANEL_HEIGHT;
  services->set(panel, HOST_PAN_W, &width);
  services->set(panel, HOST_PAN_H, &height);

  for (int i = 0; i < CTL_COUNT; ++i) {
    CtlSetInt(ctl[i], HOST_CTL_USERDATA, reinterpret_cast<intptr_t>(inst));
    CtlSetInt(ctl[i], HOST_CTL_EVENT, reinterpret_cast<intptr_t>(kControls[i].handler));
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
  // While open, the buffer list's row count and the requester's texts are
  // this instance's.
  PanelOwner = inst;
  (void)services->open(panel, HOST_PANF_BLOCKING);
  if (PanelOwner == inst) PanelOwner = nullptr;
  services->destroy(panel);

  // The host has destroyed the panel and its controls: nothing may reach
  // them through the instance any more.
  ResetPanelHandles(inst);
  PrepareEvaluation(inst);
  return nullptr;
}

// ---------------------------------------------------------------------------
// List callbacks

namespace {

const char kNoRow[] = " ";

// Shift-JIS symbols of the layer types: a white circle for "Surface", a black
// one for "Shadow", a double circle for type 2.
const char *const kLayerRowFormats[LAYER_ROW_SYMBOLS] = {
    "%c \x81\x9B %s",
    "%c \x81\x9C %s",
    "%c \x81\x9D %s",
};
const char kUnknownTypeRowFormat[] = "%c ? %s";

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

namespace {

// The layer in row `row` of the selected entry's stack. The host reads the
// rows top to bottom, so the walk goes on from the row given last whenever
// no stack has changed since and the row is not above it: reading all rows is
// one walk of the stack, not one walk per row.
const Layer *RowLayer(FilterInstance *inst, const SBEntry *entry, int32_t row) {
  if (row < 0) return GetLayer(entry, row);
  const Layer *layer = entry->head;
  int32_t at = 0;
  if (inst->rowLayer != nullptr && inst->rowHead == entry->head &&
      inst->rowChange == StackChanges() && inst->rowNo <= row) {
    layer = inst->rowLayer;
    at = inst->rowNo;
  }
  for (; layer != nullptr && at < row; ++at) layer = layer->next;
  inst->rowLayer = layer;
  inst->rowHead = entry->head;
  inst->rowNo = at;
  inst->rowChange = StackChanges();
  return layer;
}

} // namespace

const char *LayerNameFunc(void *instance, int row) {
  static char ret[32];
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr) {
    snprintf(ret, sizeof ret, "%s", kNoRow);
    return ret;
  }
  // Beyond the list the host gets the last text again.
  if (row >= inst->layerCount || inst->layerCount <= 0) return ret;
  const SBEntry *entry = SelectedEntry(inst);
  const Layer *layer = entry != nullptr ? RowLayer(inst, entry, row) : nullptr;
  if (layer == nullptr) {
    snprintf(ret, sizeof ret, "%s", kNoRow);
    return ret;
  }
  // A type or mode outside its list can only come from damaged stored data;
  // the row shows a question mark for it.
  const char *format = layer->type >= 0 && layer->type < LAYER_ROW_SYMBOLS
                           ? kLayerRowFormats[layer->type]
                           : kUnknownTypeRowFormat;
  const char *mode = ModeValid(layer->mode) ? popup1_data[layer->mode] : "?";
  // The evaluation applies a layer whose switch is not 0, so it is marked on.
  snprintf(ret, sizeof ret, format, layer->active != 0 ? '*' : '-', mode);
  return ret;
}

// ---------------------------------------------------------------------------
// Event handlers

namespace {

// The low 8 bits of a control's integer, as the layer's 8-bit fields keep them.
int8_t Low8(intptr_t value) { return static_cast<int8_t>(static_cast<uint8_t>(value & 0xFF)); }
uint8_t LowByte(int value) { return static_cast<uint8_t>(value & 0xFF); }

FilterInstance *InstanceOf(void *instance) { return static_cast<FilterInstance *>(instance); }

// The instance when the control's handler is to act: its control is live.
FilterInstance *LiveFor(void *instance, int number) {
  FilterInstance *inst = InstanceOf(instance);
  if (inst == nullptr || inst->ctlOn[number] == 0) return nullptr;
  return inst;
}

// The selected layer when a property control is to act on it. A live
// property control goes with a selected layer; the test keeps a stale flag
// from reaching through a null pointer.
Layer *LayerFor(void *instance, int number) {
  FilterInstance *inst = LiveFor(instance, number);
  return inst != nullptr ? inst->curLayer : nullptr;
}

// Shows row `row` of the layer list as selected and redraws its rows.
void SelectLayerRow(FilterInstance *inst, int32_t row) {
  CtlSetInt(inst->ctl[CTL_LAYER_LIST], HOST_CTL_VALUE, row);
  CtlRefresh(inst, CTL_LAYER_LIST);
}

// The surfaces carrying `value`, in the host's order: their names and base
// colours. Leaves the surface list empty when the host has no surface
// service, and also when the arrays cannot be allocated.
void ListSurfaces(FilterInstance *inst, double value) {
  const HostSurfaceFuncs *surf = SurfaceService();
  Lcount = 0;
  if (surf == nullptr) return;
  int32_t count = 0;
  for (HostSurfaceID s = surf->first(); s != nullptr; s = surf->next(s)) {
    const double *special = surf->getFlt(s, "SpecialBuffer1");
    if (special != nullptr && *special == value) ++count;
  }
  if (count == 0) return;
  const char **names =
      static_cast<const char **>(malloc(static_cast<size_t>(count) * sizeof *names));
  float(*colors)[3] = static_cast<float(*)[3]>(malloc(static_cast<size_t>(count) * sizeof *colors));
  if (names == nullptr || colors == nullptr) { // no memory: an empty surface list
    free(names);
    free(colors);
    return;
  }
  int32_t i = 0;
  for (HostSurfaceID s = surf->first(); s != nullptr && i < count; s = surf->next(s)) {
    const double *special = surf->getFlt(s, "SpecialBuffer1");
    if (special == nullptr || *special != value) continue;
    names[i] = surf->name(s);
    // A surface without a base colour shows as white, the preview's default.
    const double *base = surf->getFlt(s, "BaseColor");
    for (int c = 0; c < 3; ++c) colors[i][c] = base != nullptr ? static_cast<float>(base[c]) : 1.0f;
    ++i;
  }
  inst->surfNames = names;
  inst->surfColors = colors;
  Lcount = i;
}

// Selects the entry's first layer when the entry is on and has layers, and
// no layer otherwise.
void SelectFirstLayer(FilterInstance *inst, const SBEntry *entry) {
  inst->layerCount = 0;
  inst->curLayerNo = -1;
  inst->curLayer = nullptr;
  // The evaluation applies an entry whose switch is not 0; so does the list.
  if (entry->on == 0) return;
  inst->layerCount = GetLayerNum(entry);
  if (inst->layerCount > 0) {
    inst->curLayerNo = 0;
    CtlSetInt(inst->ctl[CTL_LAYER_LIST], HOST_CTL_VALUE, 0);
    inst->curLayer = entry->head;
  }
}

} // namespace

void listEvent(HostControl *control, void *instance) {
  FilterInstance *inst = InstanceOf(instance);
  if (inst == nullptr) return;
  const intptr_t row = CtlGetInt(control);
  // Bcount can belong to another instance; the entry array bounds the row too.
  if (row >= 0 && row < Bcount && row < inst->entryCount) {
    inst->curEntry = static_cast<int32_t>(row);
    const SBEntry *entry = &inst->entries[row];
    free(inst->surfNames);
    free(inst->surfColors);
    inst->surfNames = nullptr;
    inst->surfColors = nullptr;
    ListSurfaces(inst, entry->value);
    CtlSetInt(inst->ctl[CTL_ACTIVE], HOST_CTL_VALUE, entry->on);
    SelectFirstLayer(inst, entry);
  } else {
    // No entry: the surface list and the "Active" box keep what they show.
    inst->curEntry = -1;
    inst->curLayer = nullptr;
    inst->curLayerNo = -1;
    inst->layerCount = 0;
  }
  CtrlRedraw_G(inst);
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
  Preview_Redraw(inst);
}

void SLlistEvent(HostControl *control, void *instance) {
  FilterInstance *inst = InstanceOf(instance);
  if (inst == nullptr) return;
  const intptr_t row = CtlGetInt(control);
  if (row >= 0 && row < Lcount && inst->surfColors != nullptr) {
    for (int c = 0; c < 3; ++c) inst->baseColor[c] = inst->surfColors[row][c];
  }
  Preview_Redraw(inst);
}

void LayerlistEvent(HostControl *control, void *instance) {
  FilterInstance *inst = InstanceOf(instance);
  if (inst == nullptr) return;
  const intptr_t row = CtlGetInt(control);
  const SBEntry *entry = SelectedEntry(inst);
  Layer *layer = nullptr;
  if (row >= 0 && row < inst->layerCount && entry != nullptr)
    layer = GetLayer(entry, static_cast<int32_t>(row));
  // A row without a layer behind it selects nothing, so that a selected row
  // always has its layer.
  inst->curLayerNo = layer != nullptr ? static_cast<int32_t>(row) : -1;
  inst->curLayer = layer;
  Preview_Redraw(inst);
  // The stack commands act on the selected layer too: a pick of no row must
  // ghost them as well, or "Del Layer" would delete the last layer.
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
}

// ---------------------------------------------------------------------------
// Layer commands

void But_Active(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = InstanceOf(instance);
  if (inst == nullptr) return;
  SBEntry *entry = SelectedEntry(inst);
  if (entry == nullptr) return;
  // A check box is on for any value but 0; the entry keeps 0 or 1.
  entry->on = CtlGetInt(inst->ctl[CTL_ACTIVE]) != 0 ? 1 : 0;
  if (entry->on == 1) {
    // An entry that is switched on always has a layer to show. Should not
    // even one layer be had (no memory, or the instance holds as many layers
    // as a scene state may), the entry stays off and so does its box.
    if (entry->head == nullptr && (!RoomForLayers(inst, 1) || AddLayer(entry, 0) == nullptr)) {
      entry->on = 0;
      CtlSetInt(inst->ctl[CTL_ACTIVE], HOST_CTL_VALUE, 0);
    }
  }
  if (entry->on == 1) {
    inst->layerCount = GetLayerNum(entry);
    inst->curLayerNo = 0;
    inst->curLayer = entry->head;
    CtlSetInt(inst->ctl[CTL_LAYER_LIST], HOST_CTL_VALUE, 0);
  } else {
    // The layers stay in the stack, hidden from the list and the evaluation.
    inst->layerCount = 0;
    inst->curLayerNo = -1;
    inst->curLayer = nullptr;
  }
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
  CtlRefresh(inst, CTL_BUFFER_LIST);
  PreAns_Redraw(inst);
}

void But_Copy(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = LiveFor(instance, CTL_COPY);
  if (inst == nullptr) return;
  // The property controls show the current layer; the clipboard takes their
  // values.
  LayerClip &clip = inst->clip;
  clip.valid = 1;
  int rgb[3];
  CtlGetIVec(inst->ctl[CTL_SWATCH], rgb);
  for (int c = 0; c < 3; ++c) clip.color[c] = LowByte(rgb[c]);
  clip.intensity = CtlGetFloat(inst->ctl[CTL_INTENSITY]);
  clip.mode = CtlGetInt32(inst->ctl[CTL_MODE]);
  clip.inBuffer = CtlGetInt32(inst->ctl[CTL_IN_BUFFER]);
  clip.invert = Low8(CtlGetInt(inst->ctl[CTL_INVERT]));
  clip.alphaBuffer = CtlGetInt32(inst->ctl[CTL_ALPHA_BUFFER]);
  clip.alphaIntensity = CtlGetFloat(inst->ctl[CTL_ALPHA_INTENSITY]);
  clip.alphaInvert = Low8(CtlGetInt(inst->ctl[CTL_ALPHA_INVERT]));
  CtlLive(inst, CTL_PASTE);
  CtlRefresh(inst, CTL_PASTE);
}

void But_Pst(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = LiveFor(instance, CTL_PASTE);
  if (inst == nullptr || inst->curLayer == nullptr) return;
  // Everything but the layer's type and its switch.
  const LayerClip &clip = inst->clip;
  Layer *layer = inst->curLayer;
  for (int c = 0; c < 3; ++c) layer->color[c] = clip.color[c];
  layer->intensity = clip.intensity;
  layer->mode = clip.mode;
  layer->inBuffer = clip.inBuffer;
  layer->invert = clip.invert;
  layer->alphaBuffer = clip.alphaBuffer;
  layer->alphaIntensity = clip.alphaIntensity;
  layer->alphaInvert = clip.alphaInvert;
  CtlSetIVec(inst->ctl[CTL_SWATCH], HOST_CTL_VALUE, clip.color[0], clip.color[1], clip.color[2]);
  CtlSetFloat(inst->ctl[CTL_INTENSITY], HOST_CTL_VALUE, clip.intensity);
  CtlSetInt(inst->ctl[CTL_MODE], HOST_CTL_VALUE, clip.mode);
  CtlSetInt(inst->ctl[CTL_IN_BUFFER], HOST_CTL_VALUE, clip.inBuffer);
  CtlSetInt(inst->ctl[CTL_INVERT], HOST_CTL_VALUE, clip.invert);
  CtlSetInt(inst->ctl[CTL_ALPHA_BUFFER], HOST_CTL_VALUE, clip.alphaBuffer);
  CtlSetFloat(inst->ctl[CTL_ALPHA_INTENSITY], HOST_CTL_VALUE, clip.alphaIntensity);
  CtlSetInt(inst->ctl[CTL_ALPHA_INVERT], HOST_CTL_VALUE, clip.alphaInvert);
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
  PreAns_Redraw(inst);
  Preview_Redraw(inst);
}

void But_AddLayer(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = LiveFor(instance, CTL_ADD_LAYER);
  if (inst == nullptr) return;
  SBEntry *entry = SelectedEntry(inst);
  // Without memory for the layer, or with as many layers in the instance as a
  // scene state may hold, the stack and the selection stay as they are.
  if (entry == nullptr || !RoomForLayers(inst, 1) || AddLayer(entry, 0) == nullptr) return;
  inst->curLayer = entry->head;
  inst->curLayerNo = 0;
  inst->layerCount = GetLayerNum(entry);
  SelectLayerRow(inst, 0);
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
  PreAns_Redraw(inst);
}

void But_DelLayer(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = LiveFor(instance, CTL_DEL_LAYER);
  if (inst == nullptr) return;
  SBEntry *entry = SelectedEntry(inst);
  // Only the selected layer is deleted; a stale flag must not take another.
  if (entry == nullptr || inst->curLayerNo < 0 || inst->curLayer == nullptr) return;
  // The row keeps its place and shows the layer that followed; past the end
  // it moves up to the new last layer.
  DelLayer(entry, inst->curLayerNo);
  inst->layerCount = GetLayerNum(entry);
  if (inst->curLayerNo >= inst->layerCount) inst->curLayerNo = inst->layerCount - 1;
  inst->curLayer = inst->curLayerNo >= 0 ? GetLayer(entry, inst->curLayerNo) : nullptr;
  SelectLayerRow(inst, inst->curLayerNo);
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
  PreAns_Redraw(inst);
}

namespace {

// Moves the current layer one row up (-1) or down (+1); it stays current.
void MoveLayer(void *instance, int number, int32_t step) {
  FilterInstance *inst = LiveFor(instance, number);
  if (inst == nullptr) return;
  SBEntry *entry = SelectedEntry(inst);
  if (entry == nullptr) return;
  const int32_t to = inst->curLayerNo + step;
  // "up" is live below the first row and "down" above the last; a stale flag
  // must not move a layer off the ends.
  if (inst->curLayerNo < 0 || to < 0 || to >= GetLayerNum(entry)) return;
  Layer *layer = UnLinkLayer(entry, inst->curLayerNo);
  if (layer == nullptr) return;
  inst->curLayerNo = to;
  InsertLayer(entry, to, layer);
  SelectLayerRow(inst, to);
  CtrlRedraw(inst);
  PreAns_Redraw(inst);
}

enum class AllLayers { On, Off, Invert };

// Switches every layer of the current entry on, off or over.
void SwitchAllLayers(void *instance, AllLayers how) {
  // The three buttons are made live and ghosted together, by the flag of "*".
  FilterInstance *inst = LiveFor(instance, CTL_ALL_ON);
  if (inst == nullptr) return;
  SBEntry *entry = SelectedEntry(inst);
  if (entry == nullptr) return;
  for (Layer *layer = entry->head; layer != nullptr; layer = layer->next) {
    switch (how) {
    case AllLayers::On:
      layer->active = 1;
      break;
    case AllLayers::Off:
      layer->active = 0;
      break;
    case AllLayers::Invert: // an applied layer, whatever its stored number, goes off
      layer->active = layer->active == 0 ? 1 : 0;
      break;
    }
  }
  CtlRefresh(inst, CTL_LAYER_LIST);
  CtrlRedraw(inst);
  PreAns_Redraw(inst);
}

} // namespace

void But_AllLayOn(HostControl *control, void *instance) {
  (void)control;
  SwitchAllLayers(instance, AllLayers::On);
}

void But_AllLayOff(HostControl *control, void *instance) {
  (void)control;
  SwitchAllLayers(instance, AllLayers::Off);
}

void But_AllLayInv(HostControl *control, void *instance) {
  (void)control;
  SwitchAllLayers(instance, AllLayers::Invert);
}

void But_LayUp(HostControl *control, void *instance) {
  (void)control;
  MoveLayer(instance, CTL_UP, -1);
}

void But_LayDown(HostControl *control, void *instance) {
  (void)control;
  MoveLayer(instance, CTL_DOWN, 1);
}

// ---------------------------------------------------------------------------
// Layer property controls

namespace {

// What follows a change of a layer property. The layer list's row shows the
// layer's switch, type symbol and mode; the type decides which preview shows
// the layer at all, so it redraws both balls; "AmbientLight" reads neither
// buffer, so the mode makes the five buffer controls live or ghosted (they
// keep the layer's values for when another mode is chosen).
enum : unsigned {
  SHOWS_IN_ROW = 1u,     // refresh the layer list
  SHOWS_IN_PREVIEW = 2u, // redraw the whole preview, not just the result ball
  DECIDES_BUFFERS = 4u,  // the buffer controls follow the mode
};

enum class PropertyKind {
  Int32, // a popup item
  Flag,  // a check box: the low 8 bits of its value
  Real,  // a percent control
};

// A property control: the layer field it sets and what it redraws after.
struct PropertyControl {
  int number;
  PropertyKind kind;
  size_t offset; // of the field in Layer
  unsigned shows;
};

const PropertyControl kPropertyControls[] = {
    {CTL_ENABLED, PropertyKind::Flag, offsetof(Layer, active), SHOWS_IN_ROW},
    {CTL_LAYER_TYPE, PropertyKind::Int32, offsetof(Layer, type), SHOWS_IN_ROW | SHOWS_IN_PREVIEW},
    {CTL_INTENSITY, PropertyKind::Real, offsetof(Layer, intensity), 0},
    {CTL_MODE, PropertyKind::Int32, offsetof(Layer, mode), DECIDES_BUFFERS | SHOWS_IN_ROW},
    {CTL_IN_BUFFER, PropertyKind::Int32, offsetof(Layer, inBuffer), 0},
    {CTL_INVERT, PropertyKind::Flag, offsetof(Layer, invert), 0},
    {CTL_ALPHA_BUFFER, PropertyKind::Int32, offsetof(Layer, alphaBuffer), 0},
    {CTL_ALPHA_INTENSITY, PropertyKind::Real, offsetof(Layer, alphaIntensity), 0},
    {CTL_ALPHA_INVERT, PropertyKind::Flag, offsetof(Layer, alphaInvert), 0},
};

// The handler of every property control: while the control is live, its
// value goes into the selected layer's field, then what shows the field is
// redrawn.
void SetProperty(void *instance, int number) {
  const PropertyControl *property = nullptr;
  for (const PropertyControl &candidate : kPropertyControls) {
    if (candidate.number == number) property = &candidate;
  }
  Layer *layer = LayerFor(instance, number);
  if (property == nullptr || layer == nullptr) return;
  FilterInstance *inst = InstanceOf(instance);
  HostControl *control = inst->ctl[number];
  char *field = reinterpret_cast<char *>(layer) + property->offset;
  switch (property->kind) {
  case PropertyKind::Int32: {
    const int32_t value = CtlGetInt32(control);
    memcpy(field, &value, sizeof value);
    break;
  }
  case PropertyKind::Flag:
    *reinterpret_cast<int8_t *>(field) = Low8(CtlGetInt(control));
    break;
  case PropertyKind::Real: {
    const double value = CtlGetFloat(control);
    memcpy(field, &value, sizeof value);
    break;
  }
  }
  if ((property->shows & DECIDES_BUFFERS) != 0)
    SwitchBufferControls(inst, ModeReadsBuffers(layer->mode));
  if ((property->shows & SHOWS_IN_ROW) != 0) CtlRefresh(inst, CTL_LAYER_LIST);
  if ((property->shows & SHOWS_IN_PREVIEW) != 0)
    Preview_Redraw(inst);
  else
    PreAns_Redraw(inst);
}

} // namespace

void But_Enabled(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_ENABLED);
}

void Pop_Ltype(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_LAYER_TYPE);
}

void Sli_int(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_INTENSITY);
}

void Pop_type(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_MODE);
}

void Pop_effect(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_IN_BUFFER);
}

void But_inv(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_INVERT);
}

void Pop_Alpha(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_ALPHA_BUFFER);
}

void Sli_boost(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_ALPHA_INTENSITY);
}

void But_alpinv(HostControl *control, void *instance) {
  (void)control;
  SetProperty(instance, CTL_ALPHA_INVERT);
}

void ColorChg(HostControl *control, void *instance) {
  (void)control;
  Layer *layer = LayerFor(instance, CTL_SWATCH);
  if (layer == nullptr) return;
  FilterInstance *inst = InstanceOf(instance);
  HostControl *swatch = inst->ctl[CTL_SWATCH];
  int rgb[3];
  CtlGetIVec(swatch, rgb);
  for (int c = 0; c < 3; ++c) layer->color[c] = LowByte(rgb[c]);
  // The swatch fires at every step of a drag. Redrawing the preview that
  // often would stall the drag, so it is redrawn only on every tenth event at
  // which the pointer stood still sideways.
  mmx = static_cast<int32_t>(CtlGetTag(swatch, HOST_CTL_MOUSEX));
  if (mmx == bmx) {
    const int32_t before = mmc;
    ++mmc;
    if (before >= 9) {
      PreAns_Redraw(inst);
      mmc = 0;
    }
  }
  bmx = mmx;
}

void Pop_Pre(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = InstanceOf(instance);
  if (inst == nullptr) return;
  // Always live: the preview type does not depend on a selection.
  inst->previewType = CtlGetInt32(inst->ctl[CTL_PREVIEW_TYPE]);
  Preview_Redraw(inst);
}
