// The pixel effect engine: per-pixel evaluation, the layer effect with its ten
// blend modes, and the colour-space conversions.
#ifndef QX_MODULE_EFFECT_H
#define QX_MODULE_EFFECT_H

#include "qx/host.h"

struct Layer;

// Blend mode index, in the order of popup1_data.
enum {
  MODE_AMBIENT = 0,
  MODE_ADD,
  MODE_SUB,
  MODE_MULTIPLY,
  MODE_DIFFERENCE,
  MODE_SCREEN,
  MODE_OVERLAY,
  MODE_HUE,
  MODE_SATURATION,
  MODE_VALUE,
  MODE_COUNT
};

// The ten blend mode names, ended by null.
extern const char *popup1_data[MODE_COUNT + 1];

// Whether a stored mode names one of the ten. Any other number can only come
// from damaged stored data; such a layer leaves the colour as it is.
inline bool ModeValid(int32_t mode) { return mode >= 0 && mode < MODE_COUNT; }

// Whether a layer of this mode reads its input and alpha buffers:
// "AmbientLight" reads neither, and a mode that is none of the ten does nothing.
inline bool ModeReadsBuffers(int32_t mode) { return ModeValid(mode) && mode != MODE_AMBIENT; }

// The per-pixel, per-layer input of PixEffecter.
struct PixelContext {
  float *current;      // current colour: red, green, blue, alpha
  float *surfaceColor; // surface colour triple of "AmbientLight"
  float luminous;
  float diffuse;
  float specularShade;
  float transparency;
  float inputValue; // the layer's input-buffer value
  float alphaValue; // the layer's alpha-buffer value
  float shadow;
  const Layer *layer;
};

float max(float a, float b, float c);
float min(float a, float b, float c);
void RGB2HSV(const float rgb[3], float hsv[3]);
void HSV2RGB(float rgb[3], float hsv[3]);
void PixEffecter(const PixelContext *context, float out[4]);
void QXEvaluate(HostInstance instance, const HostPixelAccess *access);

#endif
