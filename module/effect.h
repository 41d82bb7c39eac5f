// The pixel effect engine: which buffers a stack reads, the walk of a stack
// over one pixel, the layer effect with its ten blend modes, the colour-space
// conversions and the per-pixel evaluation.
#ifndef QX_MODULE_EFFECT_H
#define QX_MODULE_EFFECT_H

#include "model.h"

// The ten blend mode names, ended by null.
extern const char *popup1_data[MODE_COUNT + 1];

// Host buffer number of each buffer index.
extern const int32_t FlagTbl[BUF_INDEX_COUNT];
// The buffer names in index order, ended by null: the items of the buffer
// popups.
extern const char *BufferNames[BUF_INDEX_COUNT + 1];

// The requirement bits of the seven buffers the "AmbientLight" mode reads.
enum : uint32_t {
  AMBIENT_FLAGS = (1u << HOST_BUF_LUMINOUS) | (1u << HOST_BUF_DIFFUSE) |
                  (1u << HOST_BUF_TRANSPARENCY) | (1u << HOST_BUF_SURF_RED) |
                  (1u << HOST_BUF_SURF_GREEN) | (1u << HOST_BUF_SURF_BLUE) |
                  (1u << HOST_BUF_SPECULAR_SHADE),
};

// What the layers of one stack read, inactive layers included.
struct StackNeeds {
  uint32_t mask;     // requirement bits of the host buffers, bit 0 always set
  bool ambient;      // a layer in "AmbientLight" mode: its seven buffers
  bool shadowLayer;  // a "Shadow" layer: the shadow buffer
  const Layer *last; // the last layer, which is applied first; null when empty
};
StackNeeds ScanStack(const Layer *head);

// How a walk of a stack reads a pixel's buffers and which of its layers it
// applies. The renderer reads the host's buffers, skips "Shadow" layers where
// there is no shadow, and carries the pixel's alpha through every layer; the
// preview reads the stored images, applies the layers its preview type shows,
// and has no alpha to carry.
struct StackSource {
  // The value of a buffer index at this pixel; "None" reads 1.0.
  float (*buffer)(const void *data, int32_t index);
  // Whether `layer` is applied at this pixel, whose shadow value is given.
  bool (*applies)(const void *data, const Layer *layer, float shadow);
  const void *data;
  bool carryAlpha; // each result keeps the alpha the colour came in with
};

// Applies the layers from `last` back to the head, so that the top row of
// the layer list goes last. `context` holds the pixel's inputs, and its
// `current` the colour the stack starts from; after each layer, `current`
// holds that layer's result with every negative channel raised to 0.0, which
// the next layer starts from. `work` starts as a copy of `current` and ends
// as the last result as PixEffecter computed it, not limited.
void ApplyStack(const Layer *last, PixelContext *context, float work[4], const StackSource *source);

float max(float a, float b, float c);
float min(float a, float b, float c);
void RGB2HSV(const float rgb[3], float hsv[3]);
void HSV2RGB(float rgb[3], float hsv[3]);
void PixEffecter(const PixelContext *context, float out[4]);
void QXEvaluate(HostInstance instance, const HostPixelAccess *access);

#endif
