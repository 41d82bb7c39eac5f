// The pixel effect engine: the buffers a stack reads, the walk of a stack,
// the layer effect, the colour-space conversions and the per-pixel
// evaluation.
#include "effect.h"

#include <math.h>

const char *popup1_data[MODE_COUNT + 1] = {
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

void RGB2HSV(const float rgb[3], float hsv[3]) {
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
    const float rc = (mx - r) / d;
    const float gc = (mx - g) / d;
    const float bc = (mx - b) / d;
    // Ties go to red first, then green: pure yellow is 60 degrees, cyan 180.
    if (r == mx) {
      hue = bc - gc;
    } else if (g == mx) {
      hue = 2.0f + rc - bc;
    } else {
      hue = 4.0f + gc - rc;
    }
  }
  hue *= 60.0f;
  if (hue < 0.0f) hue += 360.0f;
  hsv[0] = hue;
}

static void SetRGB(float rgb[3], float r, float g, float b) {
  rgb[0] = r;
  rgb[1] = g;
  rgb[2] = b;
}

void HSV2RGB(float rgb[3], float hsv[3]) {
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
  switch (i) {
  case 0:
    SetRGB(rgb, v, t, p);
    break;
  case 1:
    SetRGB(rgb, q, v, p);
    break;
  case 2:
    SetRGB(rgb, p, v, t);
    break;
  case 3:
    SetRGB(rgb, p, q, v);
    break;
  case 4:
    SetRGB(rgb, t, p, v);
    break;
  default:
    SetRGB(rgb, v, p, q);
    break; // sector 5
  }
}

// ---------------------------------------------------------------------------
// Layer effect

void PixEffecter(const PixelContext *context, float out[4]) {
  const Layer *layer = context->layer;
  const float *p = context->current;

  float l[3];
  for (int c = 0; c < 3; ++c) l[c] = static_cast<float>(layer->color[c]) / 255.0f;
  const float t = static_cast<float>(layer->intensity) / 100.0f;

  if (layer->mode == MODE_AMBIENT) {
    // Light added on top of the colour; the input and alpha weights play no
    // part. A "Surface" layer lights the surface colour, less where the
    // surface is transparent, self-luminous or specularly shaded; a "Shadow"
    // layer adds the layer colour in proportion to the shadow value.
    const float lit =
        context->diffuse * (1.0f - context->transparency) * (1.0f - context->luminous);
    if (layer->type == LAYER_SURFACE) {
      const float k = t * lit * (1.0f - context->specularShade);
      for (int c = 0; c < 3; ++c) out[c] = p[c] + l[c] * k * context->surfaceColor[c];
    } else if (layer->type == LAYER_SHADOW) {
      const float k = t * context->shadow * lit;
      for (int c = 0; c < 3; ++c) out[c] = p[c] + l[c] * k;
    }
    return;
  }
  if (layer->mode < 0 || layer->mode >= MODE_COUNT) return;

  // The blend weight has no upper limit: buffer values above 1.0 or an
  // intensity above 100 extrapolate beyond the blend result.
  float i = context->inputValue;
  if (layer->invert != 0) {
    i = 1.0f - i;
    if (i < 0.0f) i = 0.0f;
  }
  float a = static_cast<float>(layer->alphaIntensity / 100.0 * context->alphaValue);
  if (layer->alphaInvert != 0) {
    a = 1.0f - a;
    if (a < 0.0f) a = 0.0f;
  }
  const float u = t * (i * a);

  // The blend result F, channel by channel; the HSV modes build it in l.
  float f[3];
  switch (layer->mode) {
  case MODE_ADD:
    for (int c = 0; c < 3; ++c) f[c] = p[c] + l[c];
    break;
  case MODE_SUB:
    for (int c = 0; c < 3; ++c) {
      f[c] = p[c] - l[c];
      if (f[c] < 0.0f) f[c] = 0.0f;
    }
    break;
  case MODE_MULTIPLY:
    for (int c = 0; c < 3; ++c) f[c] = p[c] * l[c];
    break;
  case MODE_DIFFERENCE:
    for (int c = 0; c < 3; ++c) f[c] = fabsf(p[c] - l[c]);
    break;
  case MODE_SCREEN:
    for (int c = 0; c < 3; ++c) f[c] = 1.0f - (1.0f - p[c]) * (1.0f - l[c]);
    break;
  case MODE_OVERLAY:
    for (int c = 0; c < 3; ++c) f[c] = p[c] * (p[c] + 2.0f * l[c] * (1.0f - p[c]));
    break;
  default: { // MODE_HUE, MODE_SATURATION, MODE_VALUE
    float hp[3], hl[3];
    RGB2HSV(p, hp);
    RGB2HSV(l, hl);
    const int component = layer->mode - MODE_HUE; // 0 hue, 1 saturation, 2 value
    hp[component] = hl[component];
    // Hues made by RGB2HSV always lie in a sector, so l is always replaced;
    // were it not, F would stay the layer colour.
    HSV2RGB(l, hp);
    for (int c = 0; c < 3; ++c) f[c] = l[c];
    break;
  }
  }
  for (int c = 0; c < 3; ++c) out[c] = (1.0f - u) * p[c] + u * f[c];
}

// ---------------------------------------------------------------------------
// The walk of a stack

void ApplyStack(const Layer *last, PixelContext *context, float work[4],
                const StackSource *source) {
  float *current = context->current;
  for (int c = 0; c < 4; ++c) work[c] = current[c];
  for (const Layer *layer = last; layer != nullptr; layer = layer->prev) {
    if (!source->applies(source->data, layer, context->shadow)) continue;
    if (layer->mode == MODE_AMBIENT) {
      // "AmbientLight" uses neither weight.
      context->inputValue = 1.0f;
      context->alphaValue = 0.0f;
    } else {
      context->inputValue = source->buffer(source->data, layer->inBuffer);
      context->alphaValue = source->buffer(source->data, layer->alphaBuffer);
    }
    const float alpha = current[3];
    context->layer = layer;
    PixEffecter(context, work);
    if (source->carryAlpha) work[3] = alpha;
    for (int c = 0; c < 4; ++c) current[c] = (work[c] < 0.0f) ? 0.0f : work[c];
  }
}

// ---------------------------------------------------------------------------
// Per-pixel evaluation

namespace {

// The pixel's value of a layer's input or alpha buffer. "None" is 1.0 without
// asking the host. An index outside 0 to 12 can only come from damaged stored
// data; it reads as "None" too, and QXFlags asks the host for nothing for it,
// so both agree and FlagTbl is never indexed out of range.
float HostBufferValue(const void *data, int32_t index) {
  if (index == BUF_NONE || !BufferIndexValid(index)) return 1.0f;
  const HostPixelAccess *access = static_cast<const HostPixelAccess *>(data);
  float value;
  access->getVal(access, FlagTbl[index], 1, &value);
  return value;
}

// The renderer applies every active layer, but a "Shadow" layer only where
// the pixel has shadow. The shadow value has been read whenever a "Shadow"
// layer is present.
bool RenderApplies(const void *data, const Layer *layer, float shadow) {
  (void)data;
  if (layer->type == LAYER_SHADOW && shadow == 0.0f) return false;
  return layer->active != 0;
}

} // namespace

void QXEvaluate(HostInstance instance, const HostPixelAccess *access) {
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);

  float s;
  access->getVal(access, HOST_BUF_SPECIAL, 1, &s);

  // The first entry that is switched on, holds layers and carries exactly
  // this value. Duplicate values can come from a load; later ones are ignored.
  const SBEntry *entry = nullptr;
  for (int32_t n = 0; n < inst->entryCount; ++n) {
    const SBEntry *candidate = &inst->entries[n];
    if (candidate->head == nullptr || candidate->on == 0) continue;
    if (candidate->value == static_cast<double>(s)) {
      entry = candidate;
      break;
    }
  }
  if (entry == nullptr) return; // the pixel keeps its rendered colour

  float current[4];
  access->getVal(access, HOST_BUF_RED, 4, current);

  // Only the optional buffers that the stack needs are read.
  const StackNeeds needs = ScanStack(entry->head);
  float surfaceColor[3] = {0.0f, 0.0f, 0.0f};
  PixelContext context = {current, surfaceColor, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, nullptr};
  if (needs.shadowLayer) access->getVal(access, HOST_BUF_SHADOW, 1, &context.shadow);
  if (needs.ambient) {
    access->getVal(access, HOST_BUF_SURF_RED, 1, &surfaceColor[0]);
    access->getVal(access, HOST_BUF_SURF_GREEN, 1, &surfaceColor[1]);
    access->getVal(access, HOST_BUF_SURF_BLUE, 1, &surfaceColor[2]);
    access->getVal(access, HOST_BUF_LUMINOUS, 1, &context.luminous);
    access->getVal(access, HOST_BUF_DIFFUSE, 1, &context.diffuse);
    access->getVal(access, HOST_BUF_SPECULAR_SHADE, 1, &context.specularShade);
    access->getVal(access, HOST_BUF_TRANSPARENCY, 1, &context.transparency);
  }

  float work[4];
  const StackSource source = {HostBufferValue, RenderApplies, access, true};
  ApplyStack(needs.last, &context, work, &source);
  access->setRGBA(access, work);
}
