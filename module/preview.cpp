// The preview: tables of the stored images, the preview rendering, the
// control-state refresh and colour picking.
#include "preview.h"

#include "controls.h"
#include "effect.h"
#include "services.h"

// ---------------------------------------------------------------------------
// Which stored image plays which part in each preview type

const uint8_t *const PreBase_pix[PREVIEW_TYPES] = {pre_pix, cel_pix, depth_pix};
const uint8_t *const PreBase_spc[PREVIEW_TYPES] = {spc_pix, nullptr, nullptr};
const uint8_t *const PreBase_shd[PREVIEW_TYPES] = {nullptr, nullptr, depth_pix};

// The image standing for each renderer buffer, by buffer index. The mask
// reads 1.0 over the whole drawn ball; an empty entry reads 0.0.
const uint8_t *const prebuf_normal[BUF_INDEX_COUNT] = {
    alp_pix, alp_pix, alp_pix, alp_pix, alp_pix,  nullptr,   nullptr,
    pre_pix, dif_pix, spc_pix, nullptr, geom_pix, depth_pix,
};
const uint8_t *const prebuf_cel[BUF_INDEX_COUNT] = {
    alp_pix, alp_pix, alp_pix, alp_pix, nullptr,  nullptr,   nullptr,
    nullptr, nullptr, nullptr, nullptr, geom_pix, depth_pix,
};
const uint8_t *const prebuf_shadow[BUF_INDEX_COUNT] = {
    alp_pix, alp_pix, alp_pix, alp_pix, nullptr, nullptr, nullptr,
    alp_pix, alp_pix, nullptr, alp_pix, alp_pix, alp_pix,
};
const uint8_t *const *const prebuf_tbl[PREVIEW_TYPES] = {prebuf_normal, prebuf_cel, prebuf_shadow};
const float predif_tbl[PREVIEW_TYPES] = {1.0f, 0.0f, 1.0f};

// ---------------------------------------------------------------------------
// Preview rendering

namespace {

// The preview type, read as "Ball" should the stored number be out of range.
int PreviewTypeOf(const FilterInstance *inst) {
  const int32_t type = inst->previewType;
  return type >= 0 && type < PREVIEW_TYPES ? type : 0;
}

float ImageValue(const uint8_t *image, int pixel) {
  return static_cast<float>(image[pixel]) / 255.0f;
}

// A colour channel as drawn: the integer part of v * 255. Channels outside
// 0.0 to 1.0 (a base colour taken from an odd surface) are held to the
// host's 0 to 255.
int ChannelByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return static_cast<int>(v * 255.0f);
}

// The origin of the preview area's drawing region, read afresh each time.
// False while no panel is open.
bool PreviewOrigin(const FilterInstance *inst, int *x, int *y) {
  HostControl *area = inst->ctl[CTL_PREVIEW_AREA];
  if (inst->panelFuncs == nullptr || area == nullptr) return false;
  *x = static_cast<int>(CtlGetTag(area, HOST_CTL_HOTX));
  *y = static_cast<int>(CtlGetTag(area, HOST_CTL_HOTY));
  return true;
}

void DrawPixel(const FilterInstance *inst, const float rgb[3], int x, int y) {
  inst->panelFuncs->drawFuncs->drawRGBPixel(inst->panel, ChannelByte(rgb[0]), ChannelByte(rgb[1]),
                                            ChannelByte(rgb[2]), x, y);
}

// The base colour shaded by a preview type's images: the hue and saturation
// of the base colour, the brightness of the brightness image, and for "Ball"
// the highlight lightening it towards white.
struct Shading {
  float hsv[3]; // the base colour, converted once per drawing
  const uint8_t *brightness;
  const uint8_t *highlight; // null when the type has none
};

Shading ShadingOf(const FilterInstance *inst, int type) {
  Shading shading;
  RGB2HSV(inst->baseColor, shading.hsv);
  shading.brightness = PreBase_pix[type];
  shading.highlight = PreBase_spc[type];
  return shading;
}

void ShadedBase(const Shading &shading, int pixel, float rgb[3]) {
  float hsv[3] = {shading.hsv[0], shading.hsv[1],
                  ImageValue(shading.brightness, pixel) * shading.hsv[2]};
  rgb[0] = rgb[1] = rgb[2] = 0.0f;
  HSV2RGB(rgb, hsv);
  if (shading.highlight != nullptr) {
    const float s = ImageValue(shading.highlight, pixel);
    for (int c = 0; c < 3; ++c) rgb[c] = s + (1.0f - s) * rgb[c];
  }
}

// The base ball with its top left pixel at (x0, y0); only pixels fully
// inside the mask are drawn.
void DrawBaseBall(const FilterInstance *inst, int x0, int y0) {
  const Shading shading = ShadingOf(inst, PreviewTypeOf(inst));
  for (int r = 0; r < PREVIEW_SIZE; ++r) {
    for (int c = 0; c < PREVIEW_SIZE; ++c) {
      const int p = r * PREVIEW_SIZE + c;
      if (alp_pix[p] != 255) continue;
      float rgb[3];
      ShadedBase(shading, p, rgb);
      DrawPixel(inst, rgb, x0 + c, y0 + r);
    }
  }
}

// The entry whose layers the result ball shows, or null when none applies.
const SBEntry *AppliedEntry(const FilterInstance *inst) {
  if (inst->curEntry < 0 || inst->curEntry >= inst->entryCount) return nullptr;
  if (inst->curLayer == nullptr) return nullptr;
  const SBEntry *entry = &inst->entries[inst->curEntry];
  if (entry->on == 0 || entry->head == nullptr) return nullptr;
  return entry;
}

// The preview pixel a stack is applied at: the stored images stand in for
// the renderer's buffers.
struct PreviewPixel {
  int type;  // preview type
  int pixel; // index into the 64 by 64 images
};

// The value a buffer index reads at a preview pixel: "None", and any index
// the table does not hold, read 1.0 as in the renderer; an empty entry 0.0.
float PreviewBufferValue(const void *data, int32_t index) {
  const PreviewPixel *at = static_cast<const PreviewPixel *>(data);
  if (index == BUF_NONE || !BufferIndexValid(index)) return 1.0f;
  const uint8_t *image = prebuf_tbl[at->type][index];
  return image != nullptr ? ImageValue(image, at->pixel) : 0.0f;
}

// Whether a layer shows in a preview type at a pixel: "Shadow" layers only in
// the "Shadow" preview and only where there is shadow, other layers only in
// the two ball previews.
bool PreviewApplies(const void *data, const PreparedLayer *layer, float shadow) {
  const int type = static_cast<const PreviewPixel *>(data)->type;
  if (!layer->active) return false;
  if (layer->type == LAYER_SHADOW) return type == PREVIEW_SHADOW && shadow != 0.0f;
  return type != PREVIEW_SHADOW;
}

// The most layers the result ball prepares once for all its pixels, on the
// stack; a longer stack is prepared layer by layer at every pixel instead.
enum { PREVIEW_PREPARED_MAX = 32 };

} // namespace

void redraw(HostPanelID panel, void *instance) {
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr || inst->panelFuncs == nullptr) return;
  const HostDrawFuncs *draw = inst->panelFuncs->drawFuncs;
  // The dividers between the left column, the layer region and the files and
  // surfaces region.
  draw->drawBorder(panel, 0, 108, 0, 0, 212);
  draw->drawBorder(panel, 0, 108, 212, 388, 0);
  Preview_Redraw(inst);
}

void Preview_Redraw(FilterInstance *inst) {
  int x0 = 0, y0 = 0;
  if (!PreviewOrigin(inst, &x0, &y0)) return;
  // The two balls stand on black; the shadow stands on the base colour.
  int red = 0, green = 0, blue = 0;
  if (PreviewTypeOf(inst) == PREVIEW_SHADOW) {
    red = ChannelByte(inst->baseColor[0]);
    green = ChannelByte(inst->baseColor[1]);
    blue = ChannelByte(inst->baseColor[2]);
  }
  inst->panelFuncs->drawFuncs->drawRGBBox(inst->panel, red, green, blue, x0, y0, PREVIEW_AREA_W,
                                          PREVIEW_AREA_H);
  PreBase_Redraw(inst);
  PreAns_Redraw(inst);
}

void PreBase_Redraw(FilterInstance *inst) {
  int x0 = 0, y0 = 0;
  if (!PreviewOrigin(inst, &x0, &y0)) return;
  DrawBaseBall(inst, x0, y0);
}

void PreAns_Redraw(FilterInstance *inst) {
  int x0 = 0, y0 = 0;
  if (!PreviewOrigin(inst, &x0, &y0)) return;
  x0 += PREVIEW_RESULT_DX;
  y0 += PREVIEW_RESULT_DY;

  const SBEntry *entry = AppliedEntry(inst);
  if (entry == nullptr) {
    DrawBaseBall(inst, x0, y0);
    return;
  }

  // The entry's layers over the shaded ball, last layer first as in the
  // renderer, with the stored images standing in for the renderer's buffers.
  const int type = PreviewTypeOf(inst);
  const Shading shading = ShadingOf(inst, type);
  const uint8_t *specularShade = prebuf_tbl[type][BUF_SPECULAR_SHADE];
  const uint8_t *shadowImage = PreBase_shd[type];
  const Layer *last = ScanStack(entry->head).last;
  PreparedLayer prepared[PREVIEW_PREPARED_MAX];
  int32_t count = 0;
  for (const Layer *layer = last; layer != nullptr; layer = layer->prev) {
    if (count == PREVIEW_PREPARED_MAX) {
      count = -1; // too long to prepare here
      break;
    }
    PrepareLayer(layer, &prepared[count++]);
  }

  for (int r = 0; r < PREVIEW_SIZE; ++r) {
    for (int c = 0; c < PREVIEW_SIZE; ++c) {
      const int p = r * PREVIEW_SIZE + c;
      if (alp_pix[p] != 255) continue;

      // The preview sets and uses red, green and blue only.
      float current[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      ShadedBase(shading, p, current);
      PixelContext context;
      context.current = current;
      context.surfaceColor = inst->baseColor;
      context.luminous = 0.0f;
      context.diffuse = predif_tbl[type];
      context.specularShade = specularShade != nullptr ? ImageValue(specularShade, p) : 0.0f;
      context.transparency = 0.0f;
      context.shadow = shadowImage != nullptr ? 1.0f - ImageValue(shadowImage, p) : 1.0f;
      context.inputValue = 1.0f;
      context.alphaValue = 1.0f;
      context.layer = nullptr;

      const PreviewPixel at = {type, p};
      const StackSource source = {PreviewBufferValue, PreviewApplies, &at, false};
      float result[4];
      if (count >= 0)
        ApplyPrepared(prepared, count, &context, result, &source);
      else
        ApplyStack(last, &context, result, &source);
      // Drawn within 0.0 to 1.0: a result above 1.0 is drawn as 255, and
      // below 0.0 as 0.
      DrawPixel(inst, result, x0 + c, y0 + r);
    }
  }
}

// ---------------------------------------------------------------------------
// Control-state refresh

void SwitchBufferControls(FilterInstance *inst, bool live) {
  const int controls[] = {CTL_IN_BUFFER, CTL_INVERT, CTL_ALPHA_BUFFER, CTL_ALPHA_INTENSITY,
                          CTL_ALPHA_INVERT};
  for (int number : controls) CtlLiveIf(inst, number, live);
}

void CtrlRedraw_G(FilterInstance *inst) {
  CtlLiveIf(inst, CTL_ACTIVE, SelectedEntry(inst) != nullptr);
  CtlRefresh(inst, CTL_SURFACE_LIST);
  CtlRefresh(inst, CTL_LAYER_LIST);
}

void CtrlRedraw_L(FilterInstance *inst) {
  const SBEntry *entry = SelectedEntry(inst);
  if (entry == nullptr || inst->curLayer == nullptr) {
    const int kStackCommands[] = {CTL_ADD_LAYER,  CTL_DEL_LAYER, CTL_ALL_ON, CTL_ALL_OFF,
                                  CTL_ALL_INVERT, CTL_EXPORT,    CTL_IMPORT};
    for (int number : kStackCommands) CtlGhost(inst, number);
    CtlRefresh(inst, CTL_LAYER_LIST);
    return;
  }
  CtlLive(inst, CTL_ADD_LAYER);
  // The last layer of an entry cannot be deleted.
  CtlLiveIf(inst, CTL_DEL_LAYER, inst->layerCount > 1);
  CtlLive(inst, CTL_ALL_ON);
  CtlLive(inst, CTL_ALL_OFF);
  CtlLive(inst, CTL_ALL_INVERT);
  if (entry->on == 0) {
    CtlGhost(inst, CTL_IMPORT);
    CtlGhost(inst, CTL_EXPORT);
  } else {
    CtlLive(inst, CTL_IMPORT);
    CtlLiveIf(inst, CTL_EXPORT, entry->head != nullptr);
  }
  CtlRefresh(inst, CTL_LAYER_LIST);
}

void CtrlRedraw(FilterInstance *inst) {
  const SBEntry *entry = SelectedEntry(inst);
  const Layer *layer = inst->curLayer;
  // A selected row always has its layer; should it not, nothing is shown
  // rather than a layer that is not there.
  if (entry == nullptr || inst->curLayerNo == -1 || entry->on == 0 || layer == nullptr) {
    const int kLayerControls[] = {CTL_COPY,         CTL_PASTE,           CTL_UP,
                                  CTL_DOWN,         CTL_LAYER_TYPE,      CTL_ENABLED,
                                  CTL_COLOR,        CTL_SWATCH,          CTL_INTENSITY,
                                  CTL_MODE,         CTL_IN_BUFFER,       CTL_INVERT,
                                  CTL_ALPHA_BUFFER, CTL_ALPHA_INTENSITY, CTL_ALPHA_INVERT};
    for (int number : kLayerControls) CtlGhost(inst, number);
    return;
  }
  CtlLive(inst, CTL_COPY);
  CtlLiveIf(inst, CTL_PASTE, inst->clip.valid != 0);
  CtlLiveIf(inst, CTL_UP, inst->curLayerNo > 0);
  CtlLiveIf(inst, CTL_DOWN, inst->curLayerNo < inst->layerCount - 1);
  const int kAlwaysLive[] = {CTL_LAYER_TYPE, CTL_ENABLED,   CTL_COLOR,
                             CTL_SWATCH,     CTL_INTENSITY, CTL_MODE};
  for (int number : kAlwaysLive) CtlLive(inst, number);
  SwitchBufferControls(inst, ModeReadsBuffers(layer->mode));

  // The controls show the layer, the ghosted buffer controls included. A
  // popup is never handed an index beyond its items: a stored number out of
  // range (from damaged stored data; the layer keeps it until the user picks
  // an item) shows as the first item. For the buffers that is "None", which
  // is how the evaluation reads them.
  CtlSetInt(inst->ctl[CTL_LAYER_TYPE], HOST_CTL_VALUE, InListOr(layer->type, LAYER_TYPES, 0));
  CtlSetInt(inst->ctl[CTL_ENABLED], HOST_CTL_VALUE, layer->active);
  CtlSetIVec(inst->ctl[CTL_SWATCH], HOST_CTL_VALUE, layer->color[0], layer->color[1],
             layer->color[2]);
  CtlSetFloat(inst->ctl[CTL_INTENSITY], HOST_CTL_VALUE, layer->intensity);
  CtlSetInt(inst->ctl[CTL_MODE], HOST_CTL_VALUE, InListOr(layer->mode, MODE_COUNT, 0));
  CtlSetInt(inst->ctl[CTL_IN_BUFFER], HOST_CTL_VALUE,
            InListOr(layer->inBuffer, BUF_INDEX_COUNT, 0));
  CtlSetInt(inst->ctl[CTL_INVERT], HOST_CTL_VALUE, layer->invert);
  CtlSetInt(inst->ctl[CTL_ALPHA_BUFFER], HOST_CTL_VALUE,
            InListOr(layer->alphaBuffer, BUF_INDEX_COUNT, 0));
  CtlSetFloat(inst->ctl[CTL_ALPHA_INTENSITY], HOST_CTL_VALUE, layer->alphaIntensity);
  CtlSetInt(inst->ctl[CTL_ALPHA_INVERT], HOST_CTL_VALUE, layer->alphaInvert);
}

// ---------------------------------------------------------------------------
// Colour picking

namespace {

const char kLayerColorTitle[] = "Light Color";
const char kBaseColorTitle[] = "Preview BaseColor";

// A picked channel as a layer keeps it: the integer part of v * 255. A
// picker's value outside 0.0 to 1.0 is held to the byte's range rather than
// wrapped.
uint8_t ColorByte(float v) {
  if (!(v > 0.0f)) return 0;
  const float scaled = v * 255.0f;
  if (scaled >= 255.0f) return 255;
  return static_cast<uint8_t>(scaled);
}

} // namespace

void ColPickMain(FilterInstance *inst, const char *title, float colour[3]) {
  HostColorPickFunc *picker = reinterpret_cast<HostColorPickFunc *>(HostService(HOST_COLOR_PICKER));
  if (picker == nullptr) return;
  HostColorPickRequest request;
  // A picker that completes without a verdict counts as a cancel.
  request.result = 0;
  request.title = title;
  request.red = colour[0];
  request.green = colour[1];
  request.blue = colour[2];
  request.data = inst;
  request.hotFunc = colorcb;
  const int status = picker(HOST_COLOR_PICK_VERSION, &request);
  if (status != 0 || request.result <= 0) return;
  colour[0] = request.red;
  colour[1] = request.green;
  colour[2] = request.blue;
}

// The picker reports the colours the user tries; the preview waits for the
// final choice.
void colorcb(void *data, float red, float green, float blue) {
  (void)data;
  (void)red;
  (void)green;
  (void)blue;
}

void But_Col(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr || inst->ctlOn[CTL_COLOR] == 0 || inst->curLayer == nullptr) return;
  Layer *layer = inst->curLayer;
  float colour[3];
  for (int c = 0; c < 3; ++c) colour[c] = static_cast<float>(layer->color[c]) / 255.0f;
  ColPickMain(inst, kLayerColorTitle, colour);
  // A byte taken to a float and back this way is the same byte, so a
  // cancelled pick leaves the colour exactly as it was.
  for (int c = 0; c < 3; ++c) layer->color[c] = ColorByte(colour[c]);
  CtlSetIVec(inst->ctl[CTL_SWATCH], HOST_CTL_VALUE, layer->color[0], layer->color[1],
             layer->color[2]);
  PreAns_Redraw(inst);
}

void Area_Col(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr) return;
  // Always live: the picker works on the base colour itself.
  ColPickMain(inst, kBaseColorTitle, inst->baseColor);
  Preview_Redraw(inst);
}
