// The fused floor: see fused_floor.h.
#include "fused_floor.h"

#include <cmath>

#include "effect.h"

namespace qx::bench {
namespace {

// The host buffer number of each buffer index, as the renderer maps them.
constexpr int kHostBuffer[BUF_INDEX_COUNT] = {0, 35, 1, 2, 3, 4, 5, 9, 13, 14, 10, 11, 12};

float bufferAt(const float *const planes[kBufferSlots], std::size_t i, int32_t index) {
  if (index == BUF_NONE || index < 0 || index >= BUF_INDEX_COUNT) return 1.0f;
  const float *plane = planes[kHostBuffer[index]];
  return plane != nullptr ? plane[i] : 0.0f;
}

float planeAt(const float *const planes[kBufferSlots], std::size_t i, int buffer) {
  return planes[buffer] != nullptr ? planes[buffer][i] : 0.0f;
}

} // namespace

void fusedPass(const FilterInstance &instance, const Frame &input, Frame &output, int rowBegin,
               int rowEnd) {
  const float *planes[kBufferSlots];
  for (int b = 0; b < kBufferSlots; ++b) planes[b] = input.plane(b);
  float *out[4];
  for (int c = 0; c < 4; ++c) out[c] = output.mutablePlane(32 + c);
  const std::size_t width = static_cast<std::size_t>(input.width());

  for (int y = rowBegin; y < rowEnd; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * width + x;
      const float s = planeAt(planes, i, 0);
      const SBEntry *entry = nullptr;
      for (int32_t n = 0; n < instance.entryCount; ++n) {
        const SBEntry &e = instance.entries[n];
        if (e.head != nullptr && e.on != 0 && e.value == static_cast<double>(s)) {
          entry = &e;
          break;
        }
      }
      if (entry == nullptr) continue;

      float p[4], w[4];
      for (int c = 0; c < 4; ++c) p[c] = w[c] = planeAt(planes, i, 32 + c);
      bool ambient = false, shadowLayer = false;
      const Layer *last = entry->head;
      for (const Layer *l = entry->head; l != nullptr; l = l->next) {
        ambient = ambient || l->mode == MODE_AMBIENT;
        shadowLayer = shadowLayer || l->type == LAYER_SHADOW;
        last = l;
      }
      const float shadow = shadowLayer ? planeAt(planes, i, 10) : 0.0f;
      float surface[3] = {0.0f, 0.0f, 0.0f};
      float luminous = 0.0f, diffuse = 0.0f, specularShade = 0.0f, transparency = 0.0f;
      if (ambient) {
        for (int c = 0; c < 3; ++c) surface[c] = planeAt(planes, i, 6 + c);
        luminous = planeAt(planes, i, 1);
        diffuse = planeAt(planes, i, 2);
        specularShade = planeAt(planes, i, 14);
        transparency = planeAt(planes, i, 5);
      }

      for (const Layer *layer = last; layer != nullptr; layer = layer->prev) {
        if (layer->type == LAYER_SHADOW && shadow == 0.0f) continue;
        if (layer->active == 0) continue;
        float l[3];
        for (int c = 0; c < 3; ++c) l[c] = static_cast<float>(layer->color[c]) / 255.0f;
        const float t = static_cast<float>(layer->intensity) / 100.0f;
        const float alpha = p[3];
        if (layer->mode == MODE_AMBIENT) {
          const float lit = diffuse * (1.0f - transparency) * (1.0f - luminous);
          if (layer->type == LAYER_SURFACE) {
            const float k = t * lit * (1.0f - specularShade);
            for (int c = 0; c < 3; ++c) w[c] = p[c] + l[c] * k * surface[c];
          } else if (layer->type == LAYER_SHADOW) {
            const float k = t * shadow * lit;
            for (int c = 0; c < 3; ++c) w[c] = p[c] + l[c] * k;
          }
        } else if (layer->mode > MODE_AMBIENT && layer->mode < MODE_COUNT) {
          float in = bufferAt(planes, i, layer->inBuffer);
          const float av = bufferAt(planes, i, layer->alphaBuffer);
          if (layer->invert != 0) {
            in = 1.0f - in;
            if (in < 0.0f) in = 0.0f;
          }
          float a = static_cast<float>(layer->alphaIntensity / 100.0 * av);
          if (layer->alphaInvert != 0) {
            a = 1.0f - a;
            if (a < 0.0f) a = 0.0f;
          }
          const float u = t * (in * a);
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
            for (int c = 0; c < 3; ++c) f[c] = std::fabs(p[c] - l[c]);
            break;
          case MODE_SCREEN:
            for (int c = 0; c < 3; ++c) f[c] = 1.0f - (1.0f - p[c]) * (1.0f - l[c]);
            break;
          case MODE_OVERLAY:
            for (int c = 0; c < 3; ++c) f[c] = p[c] * (p[c] + 2.0f * l[c] * (1.0f - p[c]));
            break;
          default: {
            float hp[3], hl[3];
            RGB2HSV(p, hp);
            RGB2HSV(l, hl);
            hp[layer->mode - MODE_HUE] = hl[layer->mode - MODE_HUE];
            HSV2RGB(l, hp);
            for (int c = 0; c < 3; ++c) f[c] = l[c];
            break;
          }
          }
          for (int c = 0; c < 3; ++c) w[c] = (1.0f - u) * p[c] + u * f[c];
        }
        w[3] = alpha;
        for (int c = 0; c < 4; ++c) p[c] = w[c] < 0.0f ? 0.0f : w[c];
      }
      for (int c = 0; c < 4; ++c) out[c][i] = w[c];
    }
  }
}

} // namespace qx::bench
