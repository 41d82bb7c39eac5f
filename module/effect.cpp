// The pixel effect engine: the buffers a stack reads, the walk of a stack,
// the layer effect, the colour-space conversions and the per-pixel
// evaluation.
#include "effect.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

constexpr const char *popup1_data[MODE_COUNT + 1] = {
    "AmbientLight", "Add", "Sub",        "Multiply", "Difference", "Screen",
    "Overlay",      "Hue", "Saturation", "Value",    nullptr,
};

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
// What a stack reads

StackNeeds ScanStack(const Layer *head) {
  StackNeeds needs = {1u << HOST_BUF_SPECIAL, false, false, nullptr};
  for (const Layer *layer = head; layer != nullptr; layer = layer->next) {
    needs.last = layer;
    if (layer->type == LAYER_SHADOW) {
      needs.shadowLayer = true;
      needs.mask |= 1u << HOST_BUF_SHADOW;
    }
    if (layer->mode == MODE_AMBIENT) {
      needs.ambient = true;
      needs.mask |= AMBIENT_FLAGS;
      continue;
    }
    // An index outside the table reads as "None" everywhere, so it asks for
    // nothing. The colour's own alpha (35) is read with the colour and needs
    // no request.
    const int32_t indices[2] = {layer->inBuffer, layer->alphaBuffer};
    for (int32_t index : indices) {
      if (!BufferIndexValid(index)) continue;
      const int32_t buffer = FlagTbl[index];
      if (buffer < 32) needs.mask |= 1u << buffer;
    }
  }
  return needs;
}

// ---------------------------------------------------------------------------
// Colour-space conversion

float max(float a, float b, float c) {
  const float m = (a < b) ? b : a;
  return (c > m) ? c : m;
}

float min(float a, float b, float c) {
  const float m = (a > b) ? b : a;
  return (c < m) ? c : m;
}

namespace {

// The conversions, inline so that the HSV blend modes pay no call for them.
inline void ToHsv(const float rgb[3], float hsv[3]) {
  const float r = rgb[0], g = rgb[1], b = rgb[2];
  const float mx = max(r, g, b);
  const float mn = min(r, g, b);
  hsv[2] = mx;
  if (mx == 0.0f) {
    hsv[0] = 0.0f;
    hsv[1] = 0.0f;
    return;
  }
  const float d = mx - mn;
  hsv[1] = d / mx;
  float hue = 0.0f;
  if (d != 0.0f) {
    // The distances of the two other channels from the largest, as
    // fractions of the spread. Ties go to red first, then green: pure yellow
    // is 60 degrees, cyan 180.
    if (r == mx) {
      hue = (mx - b) / d - (mx - g) / d;
    } else if (g == mx) {
      hue = 2.0f + (mx - r) / d - (mx - b) / d;
    } else {
      hue = 4.0f + (mx - g) / d - (mx - r) / d;
    }
  }
  hue *= 60.0f;
  if (hue < 0.0f) hue += 360.0f;
  hsv[0] = hue;
}

inline void SetRGB(float rgb[3], float r, float g, float b) {
  rgb[0] = r;
  rgb[1] = g;
  rgb[2] = b;
}

inline void ToRgb(float rgb[3], float hsv[3]) {
  const float s = hsv[1], v = hsv[2];
  if (s == 0.0f) {
    SetRGB(rgb, v, v, v);
    return;
  }
  if (hsv[0] == 360.0f) hsv[0] = 0.0f; // the full circle is red again
  const float hh = hsv[0] / 60.0f;
  // The sector is hh truncated toward zero; only sectors 0 to 5 are colours,
  // anything else (a hue of -60 or below, above 360, or not a number) leaves
  // the RGB record as it was. Testing the range first keeps the conversion
  // to an integer defined for every input.
  if (!(hh > -1.0f && hh < 6.0f)) return;
  const int i = static_cast<int>(hh);
  const float f = hh - static_cast<float>(i);
  const float p = v * (1.0f - s);
  const float q = v * (1.0f - s * f);
  const float t = v * (1.0f - s * (1.0f - f));
  // Which of v, t, p and q each channel takes in each sector, looked up
  // rather than branched on: the sector changes from pixel to pixel.
  static const unsigned char kSectors[6][3] = {
      {0, 1, 2}, {3, 0, 2}, {2, 0, 1}, {2, 3, 0}, {1, 2, 0}, {0, 2, 3},
  };
  const float values[4] = {v, t, p, q};
  SetRGB(rgb, values[kSectors[i][0]], values[kSectors[i][1]], values[kSectors[i][2]]);
}

} // namespace

void RGB2HSV(const float rgb[3], float hsv[3]) { ToHsv(rgb, hsv); }

void HSV2RGB(float rgb[3], float hsv[3]) { ToRgb(rgb, hsv); }

// ---------------------------------------------------------------------------
// Layer effect

namespace {

// Four floats worked on at once where the rules treat the channels alike.
// Each lane does the very operations the channel would on its own, so the
// results are the same floats, bit for bit.
typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Int4 __attribute__((vector_size(16)));

inline Float4 Load4(const float *from) {
  Float4 v;
  memcpy(&v, from, sizeof v);
  return v;
}

inline void Store4(float *to, Float4 v) { memcpy(to, &v, sizeof v); }

// The weight of a layer's blend: its intensity, times the input buffer's
// value and the alpha buffer's, each inverted if the layer says so. It has no
// upper limit: buffer values above 1.0 or an intensity above 100 extrapolate
// beyond the blend result.
float BlendWeight(const PreparedLayer *layer, const PixelContext *context) {
  float i = context->inputValue;
  if (layer->invert) {
    i = 1.0f - i;
    if (i < 0.0f) i = 0.0f;
  }
  float a = static_cast<float>(layer->alphaScale * context->alphaValue);
  if (layer->alphaInvert) {
    a = 1.0f - a;
    if (a < 0.0f) a = 0.0f;
  }
  return layer->intensity * (i * a);
}

// The colour moved towards the blend result F by the layer's weight, in red,
// green and blue; the fourth float of `out` is left as it is.
void Mix(const PreparedLayer *layer, const PixelContext *context, Float4 f, float out[4]) {
  const float u = BlendWeight(layer, context);
  const Float4 mixed = (1.0f - u) * Load4(context->current) + u * f;
  const float kept = out[3];
  Store4(out, mixed);
  out[3] = kept;
}

// "AmbientLight": light added on top of the colour; the input and alpha
// weights play no part. A "Surface" layer lights the surface colour, less
// where the surface is transparent, self-luminous or specularly shaded; a
// "Shadow" layer adds the layer colour in proportion to the shadow value.
float Lit(const PixelContext *context) {
  return context->diffuse * (1.0f - context->transparency) * (1.0f - context->luminous);
}

void BlendAmbientSurface(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  const float *p = context->current;
  const float k = layer->intensity * Lit(context) * (1.0f - context->specularShade);
  for (int c = 0; c < 3; ++c) out[c] = p[c] + layer->color[c] * k * context->surfaceColor[c];
}

void BlendAmbientShadow(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  const float *p = context->current;
  const float k = layer->intensity * context->shadow * Lit(context);
  for (int c = 0; c < 3; ++c) out[c] = p[c] + layer->color[c] * k;
}

// The blend result F of the plain modes, from the colour P and the layer
// colour L.
void BlendAdd(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  Mix(layer, context, Load4(context->current) + Load4(layer->color), out);
}

void BlendSub(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  const Float4 f = Load4(context->current) - Load4(layer->color);
  const Float4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
  Mix(layer, context, f < zero ? zero : f, out);
}

void BlendMultiply(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  Mix(layer, context, Load4(context->current) * Load4(layer->color), out);
}

void BlendDifference(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  // The magnitude, as fabsf gives it: the sign bit cleared.
  const Float4 f = Load4(context->current) - Load4(layer->color);
  Int4 bits;
  memcpy(&bits, &f, sizeof bits);
  bits &= 0x7FFFFFFF;
  Float4 magnitude;
  memcpy(&magnitude, &bits, sizeof magnitude);
  Mix(layer, context, magnitude, out);
}

void BlendScreen(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  const Float4 p = Load4(context->current);
  Mix(layer, context, 1.0f - (1.0f - p) * (1.0f - Load4(layer->color)), out);
}

void BlendOverlay(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  const Float4 p = Load4(context->current);
  Mix(layer, context, p * (p + 2.0f * Load4(layer->color) * (1.0f - p)), out);
}

// The three HSV modes: the colour with one of its hue, saturation and value
// taken from the layer colour. Hues made by RGB2HSV always lie in a sector,
// so F is always replaced; were it not, F would stay the layer colour.
void BlendHsvComponent(const PreparedLayer *layer, const PixelContext *context, int component,
                       float out[4]) {
  float hp[3];
  ToHsv(context->current, hp);
  hp[component] = layer->colorHsv[component];
  float f[4] = {layer->color[0], layer->color[1], layer->color[2], 0.0f};
  ToRgb(f, hp);
  Mix(layer, context, Load4(f), out);
}

void BlendHue(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  BlendHsvComponent(layer, context, 0, out);
}

void BlendSaturation(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  BlendHsvComponent(layer, context, 1, out);
}

void BlendValue(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  BlendHsvComponent(layer, context, 2, out);
}

// The effect of a layer that leaves the colour as it is: a mode that is none
// of the ten, or "AmbientLight" on a type that is neither "Surface" nor
// "Shadow".
void BlendNothing(const PreparedLayer *layer, const PixelContext *context, float out[4]) {
  (void)layer;
  (void)context;
  (void)out;
}

// Each blend mode keyed by its number: the name the "Mode" popup shows and
// its blend. "AmbientLight" has no blend here: it depends on the layer's type.
struct ModeRow {
  int32_t mode;
  const char *name;
  BlendFunc *blend;
};
constexpr ModeRow kModeBlends[MODE_COUNT] = {
    {MODE_AMBIENT, "AmbientLight", nullptr},
    {MODE_ADD, "Add", BlendAdd},
    {MODE_SUB, "Sub", BlendSub},
    {MODE_MULTIPLY, "Multiply", BlendMultiply},
    {MODE_DIFFERENCE, "Difference", BlendDifference},
    {MODE_SCREEN, "Screen", BlendScreen},
    {MODE_OVERLAY, "Overlay", BlendOverlay},
    {MODE_HUE, "Hue", BlendHue},
    {MODE_SATURATION, "Saturation", BlendSaturation},
    {MODE_VALUE, "Value", BlendValue},
};

// Every row stands at its mode's place and every mode but "AmbientLight" has
// a blend. A missing row leaves the last one zero, so it fails too.
constexpr bool ModeRowsInPlace() {
  for (int32_t i = 0; i < MODE_COUNT; ++i) {
    if (kModeBlends[i].mode != i || kModeBlends[i].name == nullptr) return false;
    if (i != MODE_AMBIENT && kModeBlends[i].blend == nullptr) return false;
  }
  return true;
}
static_assert(ModeRowsInPlace(), "kModeBlends: a mode's row is missing or out of place");

constexpr bool SameText(const char *a, const char *b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// The "Mode" popup's plain list names the modes in their order and ends
// after the last.
constexpr bool PopupListsTheModes() {
  for (int32_t i = 0; i < MODE_COUNT; ++i) {
    if (popup1_data[i] == nullptr || !SameText(popup1_data[i], kModeBlends[i].name)) return false;
  }
  return popup1_data[MODE_COUNT] == nullptr;
}
static_assert(PopupListsTheModes(), "popup1_data: the modes' names out of their order");

} // namespace

void PrepareLayer(const Layer *layer, PreparedLayer *prepared) {
  for (int c = 0; c < 3; ++c) prepared->color[c] = static_cast<float>(layer->color[c]) / 255.0f;
  prepared->color[3] = 0.0f;
  RGB2HSV(prepared->color, prepared->colorHsv);
  prepared->intensity = static_cast<float>(layer->intensity) / 100.0f;
  prepared->alphaScale = layer->alphaIntensity / 100.0;
  prepared->inBuffer = BufferIndexValid(layer->inBuffer) ? layer->inBuffer : BUF_NONE;
  prepared->alphaBuffer = BufferIndexValid(layer->alphaBuffer) ? layer->alphaBuffer : BUF_NONE;
  prepared->inHost = prepared->inBuffer != BUF_NONE ? FlagTbl[prepared->inBuffer] : -1;
  prepared->alphaHost = prepared->alphaBuffer != BUF_NONE ? FlagTbl[prepared->alphaBuffer] : -1;
  prepared->type = layer->type;
  prepared->shadowOnly = layer->type == LAYER_SHADOW;
  prepared->active = layer->active != 0;
  prepared->invert = layer->invert != 0;
  prepared->alphaInvert = layer->alphaInvert != 0;
  // A mode that is none of the ten still has its buffers read, and then
  // leaves the colour as it is.
  prepared->readsBuffers = layer->mode != MODE_AMBIENT;
  prepared->blend = BlendNothing;
  if (layer->mode == MODE_AMBIENT) {
    // A layer of a type that is neither "Surface" nor "Shadow" adds no light.
    if (layer->type == LAYER_SURFACE) prepared->blend = BlendAmbientSurface;
    if (layer->type == LAYER_SHADOW) prepared->blend = BlendAmbientShadow;
  } else if (ModeValid(layer->mode)) {
    prepared->blend = kModeBlends[layer->mode].blend;
  }
}

void PixEffecter(const PixelContext *context, float out[4]) {
  PreparedLayer prepared;
  PrepareLayer(context->layer, &prepared);
  prepared.blend(&prepared, context, out);
}

// ---------------------------------------------------------------------------
// The walk of a stack

namespace {

// One layer of a walk: the rules every walk shares. `Source` reads the
// pixel's buffers (Buffer), says which layers apply (Applies) and whether the
// alpha is carried (kCarryAlpha); the renderer's source is known here, so
// its pixel loop calls the host directly, and the preview's goes through a
// StackSource.
template <class Source>
inline void StepLayer(const PreparedLayer *layer, PixelContext *context, float work[4],
                      const Source &source) {
  if (!source.Applies(layer, context->shadow)) return;
  if (layer->readsBuffers) {
    context->inputValue = source.Buffer(layer->inBuffer, layer->inHost);
    context->alphaValue = source.Buffer(layer->alphaBuffer, layer->alphaHost);
  } else {
    // "AmbientLight" uses neither weight.
    context->inputValue = 1.0f;
    context->alphaValue = 0.0f;
  }
  float *current = context->current;
  const float alpha = current[3];
  layer->blend(layer, context, work);
  if (source.CarryAlpha()) work[3] = alpha;
  // No channel below 0.0 (a NaN stays as it is).
  const Float4 result = Load4(work);
  const Float4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
  Store4(current, result < zero ? zero : result);
}

template <class Source>
inline void ApplyPreparedWith(const PreparedLayer *layers, int32_t count, PixelContext *context,
                              float work[4], const Source &source) {
  Store4(work, Load4(context->current));
  for (int32_t n = 0; n < count; ++n) StepLayer(&layers[n], context, work, source);
}

// A StackSource as a walk's source.
struct RecordSource {
  const StackSource *record;
  float Buffer(int32_t index, int32_t hostBuffer) const {
    (void)hostBuffer;
    return record->buffer(record->data, index);
  }
  bool Applies(const PreparedLayer *layer, float shadow) const {
    return record->applies(record->data, layer, shadow);
  }
  bool CarryAlpha() const { return record->carryAlpha; }
};

template <class Source>
void ApplyStackWith(const Layer *last, PixelContext *context, float work[4], const Source &source) {
  for (int c = 0; c < 4; ++c) work[c] = context->current[c];
  for (const Layer *layer = last; layer != nullptr; layer = layer->prev) {
    PreparedLayer prepared;
    PrepareLayer(layer, &prepared);
    context->layer = layer;
    StepLayer(&prepared, context, work, source);
  }
}

} // namespace

void ApplyStack(const Layer *last, PixelContext *context, float work[4],
                const StackSource *source) {
  ApplyStackWith(last, context, work, RecordSource{source});
}

void ApplyPrepared(const PreparedLayer *layers, int32_t count, PixelContext *context, float work[4],
                   const StackSource *source) {
  ApplyPreparedWith(layers, count, context, work, RecordSource{source});
}

// ---------------------------------------------------------------------------
// The evaluation's form of an instance

// An applied stack: its active layers in the order they apply, and the
// optional buffers it reads (decided by all its layers, active or not).
struct EvalStack {
  const PreparedLayer *layers;
  int32_t count;
  bool ambient;
  bool shadowLayer;
};

// An open-addressed table from a value's float bits to its stack. A pixel's
// value is a float: only an entry value that a float holds exactly can match
// one, and only the first usable entry of each value is ever applied.
struct EvalProgram {
  uint32_t slotShift; // 32 - log2(slots)
  uint32_t slotMask;  // slots - 1, the slots a power of two
  uint32_t *keys;     // float bits of each slot's value
  int32_t *slots;     // 1 + index into stacks; 0 for an empty slot
  EvalStack *stacks;  // one per value
  PreparedLayer *layers;
};

namespace {

// The table key of a float, or false for one that matches nothing: NaN is
// equal to nothing, and -0.0 equals 0.0, so both zeros have the key of 0.0.
bool KeyOf(float value, uint32_t *key) {
  if (value != value) return false;
  if (value == 0.0f) value = 0.0f;
  memcpy(key, &value, sizeof *key);
  return true;
}

// The first slot to look in for a key: the top bits of the key times the
// golden ratio. A float's bits carry the value's differences in the high
// bits and often none in the low ones (whole numbers end in zeros); the
// product's top bits depend on all of them.
uint32_t SlotOf(uint32_t key, uint32_t shift) { return (key * 0x9E3779B1u) >> shift; }

// The stack a pixel value applies, or null.
inline const EvalStack *FindStack(const EvalProgram *program, float value) {
  uint32_t key;
  if (!KeyOf(value, &key)) return nullptr;
  for (uint32_t slot = SlotOf(key, program->slotShift);; slot = (slot + 1) & program->slotMask) {
    const int32_t at = program->slots[slot];
    if (at == 0) return nullptr;
    if (program->keys[slot] == key) return &program->stacks[at - 1];
  }
}

// An entry's value as a table key, or false when no pixel can match it.
bool EntryKey(const SBEntry &entry, uint32_t *key) {
  if (entry.head == nullptr || entry.on == 0) return false;
  const float value = static_cast<float>(entry.value);
  if (static_cast<double>(value) != entry.value) return false; // NaN, or no float is it
  return KeyOf(value, key);
}

size_t RoundUp(size_t bytes) { return (bytes + 15u) & ~static_cast<size_t>(15u); }

} // namespace

void DropEvaluation(FilterInstance *inst) {
  free(inst->program);
  inst->program = nullptr;
}

void PrepareEvaluation(FilterInstance *inst) {
  DropEvaluation(inst);
  // Room for every entry that can match and for all its active layers; a
  // value that repeats keeps only its first entry, so some may stay unused.
  size_t entries = 0, layers = 0;
  for (int32_t i = 0; i < inst->entryCount; ++i) {
    uint32_t key;
    if (!EntryKey(inst->entries[i], &key)) continue;
    ++entries;
    for (const Layer *layer = inst->entries[i].head; layer != nullptr; layer = layer->next)
      layers += layer->active != 0;
  }
  size_t slots = 8;
  uint32_t shift = 29;
  while (slots < 2 * entries) {
    slots *= 2;
    --shift;
  }

  // One block: the record, the prepared layers, the stacks, the keys, the
  // slots.
  const size_t layersAt = RoundUp(sizeof(EvalProgram));
  const size_t stacksAt = layersAt + RoundUp(layers * sizeof(PreparedLayer));
  const size_t keysAt = stacksAt + RoundUp(entries * sizeof(EvalStack));
  const size_t slotsAt = keysAt + RoundUp(slots * sizeof(uint32_t));
  char *block = static_cast<char *>(calloc(1, slotsAt + slots * sizeof(int32_t)));
  if (block == nullptr) return; // no memory: the evaluation walks the entries
  EvalProgram *program = reinterpret_cast<EvalProgram *>(block);
  program->layers = reinterpret_cast<PreparedLayer *>(block + layersAt);
  program->stacks = reinterpret_cast<EvalStack *>(block + stacksAt);
  program->keys = reinterpret_cast<uint32_t *>(block + keysAt);
  program->slots = reinterpret_cast<int32_t *>(block + slotsAt);
  program->slotMask = static_cast<uint32_t>(slots - 1);
  program->slotShift = shift;

  int32_t stackCount = 0;
  PreparedLayer *next = program->layers;
  for (int32_t i = 0; i < inst->entryCount; ++i) {
    const SBEntry &entry = inst->entries[i];
    uint32_t key;
    if (!EntryKey(entry, &key)) continue;
    uint32_t slot = SlotOf(key, program->slotShift);
    while (program->slots[slot] != 0 && program->keys[slot] != key)
      slot = (slot + 1) & program->slotMask;
    if (program->slots[slot] != 0) continue; // an earlier entry has the value
    program->keys[slot] = key;
    program->slots[slot] = ++stackCount;
    EvalStack &stack = program->stacks[stackCount - 1];
    const StackNeeds needs = ScanStack(entry.head);
    stack.ambient = needs.ambient;
    stack.shadowLayer = needs.shadowLayer;
    stack.layers = next;
    for (const Layer *layer = needs.last; layer != nullptr; layer = layer->prev) {
      if (layer->active == 0) continue; // never applied
      PrepareLayer(layer, next++);
    }
    stack.count = static_cast<int32_t>(next - stack.layers);
  }
  inst->program = program;
}

// ---------------------------------------------------------------------------
// Per-pixel evaluation

namespace {

// The renderer's source: the host's buffers of this pixel. A buffer "None"
// is 1.0 without asking the host; so is an index outside 0 to 12, which only
// damaged stored data holds, and for which QXFlags asks the host for nothing.
// Every active layer applies, but a "Shadow" layer only where the pixel has
// shadow (the shadow value has been read whenever a "Shadow" layer is
// present), and the pixel's alpha goes through every layer as it came.
struct HostSource {
  const HostPixelAccess *access;
  float Buffer(int32_t index, int32_t hostBuffer) const {
    (void)index;
    if (hostBuffer < 0) return 1.0f;
    float value;
    access->getVal(access, hostBuffer, 1, &value);
    return value;
  }
  bool Applies(const PreparedLayer *layer, float shadow) const {
    if (layer->shadowOnly && shadow == 0.0f) return false;
    return layer->active;
  }
  bool CarryAlpha() const { return true; }
};

// Reads the optional buffers a stack needs into the context.
void ReadStackInputs(const HostPixelAccess *access, bool ambient, bool shadowLayer,
                     PixelContext *context) {
  if (shadowLayer) access->getVal(access, HOST_BUF_SHADOW, 1, &context->shadow);
  if (ambient) {
    access->getVal(access, HOST_BUF_SURF_RED, 1, &context->surfaceColor[0]);
    access->getVal(access, HOST_BUF_SURF_GREEN, 1, &context->surfaceColor[1]);
    access->getVal(access, HOST_BUF_SURF_BLUE, 1, &context->surfaceColor[2]);
    access->getVal(access, HOST_BUF_LUMINOUS, 1, &context->luminous);
    access->getVal(access, HOST_BUF_DIFFUSE, 1, &context->diffuse);
    access->getVal(access, HOST_BUF_SPECULAR_SHADE, 1, &context->specularShade);
    access->getVal(access, HOST_BUF_TRANSPARENCY, 1, &context->transparency);
  }
}

// The first entry that is switched on, holds layers and carries exactly this
// value, found by a walk. Duplicate values can come from a load; later ones
// are ignored.
const SBEntry *WalkEntries(const FilterInstance *inst, float s) {
  for (int32_t n = 0; n < inst->entryCount; ++n) {
    const SBEntry *candidate = &inst->entries[n];
    if (candidate->head == nullptr || candidate->on == 0) continue;
    if (candidate->value == static_cast<double>(s)) return candidate;
  }
  return nullptr;
}

} // namespace

void QXEvaluate(HostInstance instance, const HostPixelAccess *access) {
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);

  float s;
  access->getVal(access, HOST_BUF_SPECIAL, 1, &s);

  float current[4];
  float surfaceColor[3] = {0.0f, 0.0f, 0.0f};
  PixelContext context = {current, surfaceColor, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, nullptr};
  const HostSource source = {access};
  float work[4];

  if (inst->program != nullptr) {
    const EvalStack *stack = FindStack(inst->program, s);
    if (stack == nullptr) return; // the pixel keeps its rendered colour
    access->getVal(access, HOST_BUF_RED, 4, current);
    ReadStackInputs(access, stack->ambient, stack->shadowLayer, &context);
    ApplyPreparedWith(stack->layers, stack->count, &context, work, source);
  } else {
    const SBEntry *entry = WalkEntries(inst, s);
    if (entry == nullptr) return;
    access->getVal(access, HOST_BUF_RED, 4, current);
    // Only the optional buffers that the stack needs are read.
    const StackNeeds needs = ScanStack(entry->head);
    ReadStackInputs(access, needs.ambient, needs.shadowLayer, &context);
    ApplyStackWith(needs.last, &context, work, source);
  }
  access->setRGBA(access, work);
}
