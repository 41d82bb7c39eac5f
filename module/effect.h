// The pixel effect engine: which buffers a stack reads, the walk of a stack
// over one pixel, the layer effect with its ten blend modes, the colour-space
// conversions and the per-pixel evaluation.
#ifndef QX_MODULE_EFFECT_H
#define QX_MODULE_EFFECT_H

#include "model.h"

// The ten blend mode names, ended by null: the items of the "Mode" popup.
extern const char *const popup1_data[MODE_COUNT + 1];

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

// A layer made ready for the pixel loop: everything that depends on the layer
// alone (its colour as floats and as hue, saturation and value, its
// percentages as fractions, its blend) worked out once, not for every pixel.
struct PreparedLayer;
typedef void BlendFunc(const PreparedLayer *layer, const PixelContext *context, float out[4]);
struct PreparedLayer {
  BlendFunc *blend;  // the layer's effect; one that does nothing where it changes nothing
  float color[4];    // the colour bytes as floats, b / 255, and a 0
  float colorHsv[3]; // that colour as hue, saturation and value
  float intensity;   // the intensity as a fraction
  double alphaScale; // the alpha intensity as a fraction
  int32_t inBuffer;  // buffer indices; one outside the table reads as "None"
  int32_t alphaBuffer;
  int32_t inHost; // their host buffer numbers, -1 for "None"
  int32_t alphaHost;
  int32_t type;
  bool shadowOnly; // a "Shadow" layer: applied only where there is shadow
  bool active;
  bool invert;
  bool alphaInvert;
  bool readsBuffers; // any mode but "AmbientLight" reads its two buffers
};
void PrepareLayer(const Layer *layer, PreparedLayer *prepared);

// How a walk of a stack reads a pixel's buffers and which of its layers it
// applies. The renderer reads the host's buffers, skips "Shadow" layers where
// there is no shadow, and carries the pixel's alpha through every layer; the
// preview reads the stored images, applies the layers its preview type shows,
// and has no alpha to carry.
struct StackSource {
  // The value of a buffer index at this pixel; "None" reads 1.0.
  float (*buffer)(const void *data, int32_t index);
  // Whether `layer` is applied at this pixel, whose shadow value is given.
  bool (*applies)(const void *data, const PreparedLayer *layer, float shadow);
  const void *data;
  bool carryAlpha; // each result keeps the alpha the colour came in with
};

// Applies a stack's layers, the last in the stack first, so that the top row
// of the layer list goes last. `context` holds the pixel's inputs, and its
// `current` the colour the stack starts from; after each layer, `current`
// holds that layer's result with every negative channel raised to 0.0, which
// the next layer starts from. `work` starts as a copy of `current` and ends
// as the last result as the layer's effect computed it, not limited.
// ApplyStack walks the linked layers from `last` back to the head, preparing
// each as it comes; ApplyPrepared takes `count` prepared layers in the order
// they apply. Both give the same floats.
void ApplyStack(const Layer *last, PixelContext *context, float work[4], const StackSource *source);
void ApplyPrepared(const PreparedLayer *layers, int32_t count, PixelContext *context, float work[4],
                   const StackSource *source);

// The evaluation's own form of an instance: a table from each special-buffer
// value to the stack that applies to it, found in constant time, and every
// applied stack's active layers prepared in the order they apply.
// PrepareEvaluation makes it anew from the instance's entries and layers as
// they are; it must run after every change of them before the next
// evaluation (create, load, copy and the closing of the panel do so), and
// DropEvaluation must run before changes that are not followed by one (the
// opening of the panel). Without memory for it the instance has none, and the
// evaluation walks the entries instead, with the same results.
void PrepareEvaluation(FilterInstance *inst);
void DropEvaluation(FilterInstance *inst);

float max(float a, float b, float c);
float min(float a, float b, float c);
void RGB2HSV(const float rgb[3], float hsv[3]);
void HSV2RGB(float rgb[3], float hsv[3]);
void PixEffecter(const PixelContext *context, float out[4]);
void QXEvaluate(HostInstance instance, const HostPixelAccess *access);

#endif
