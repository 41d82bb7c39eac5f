// The module's records and the numberings they hold: the layer, the
// special-buffer entry, the filter instance and the per-pixel context of the
// layer effect. Every other unit of the module builds on these; this header
// includes nothing of the module, so it can be included from anywhere.
#ifndef QX_MODULE_MODEL_H
#define QX_MODULE_MODEL_H

#include <stdint.h>

#include "qx/host.h"

enum {
  SB_MAX_ENTRIES = 256, // most distinct special-buffer values collected
  CTL_COUNT = 28,       // controls of the options panel
  DESC_LEN = 128,       // description text
  FILE_TEXT_LEN = 260,  // file requester buffers
};

// Layer types: the items of the "LayerType" popup.
enum { LAYER_SURFACE = 0, LAYER_SHADOW = 1, LAYER_TYPES };

// The layer list marks every layer with a symbol of its type: a white circle
// for "Surface", a black one for "Shadow", and a double circle for type 2.
// Type 2 has no popup item and no light of its own ("AmbientLight" writes
// nothing for it); it is kept from stored data and shown all the same.
enum { LAYER_ROW_SYMBOLS = LAYER_TYPES + 1 };

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

// Buffer index 0 to 12 of a layer's input or alpha buffer.
enum {
  BUF_NONE = 0,
  BUF_ALPHA,
  BUF_LUMINOUS,
  BUF_DIFFUSE,
  BUF_SPECULAR,
  BUF_REFLECTIVE,
  BUF_TRANSPARENCY,
  BUF_SHADING,
  BUF_DIFFUSE_SHADE,
  BUF_SPECULAR_SHADE,
  BUF_SHADOW,
  BUF_GEOMETRY,
  BUF_DEPTH,
  BUF_INDEX_COUNT
};

// Whether a stored buffer index can be looked up in FlagTbl. Indices outside
// 0 to 12 can only come from damaged stored data; they read as "None".
inline bool BufferIndexValid(int32_t index) { return index >= 0 && index < BUF_INDEX_COUNT; }

// Whether a stored mode names one of the ten. Any other number can only come
// from damaged stored data; such a layer leaves the colour as it is.
inline bool ModeValid(int32_t mode) { return mode >= 0 && mode < MODE_COUNT; }

// Whether a layer of this mode reads its input and alpha buffers:
// "AmbientLight" reads neither, and a mode that is none of the ten does nothing.
inline bool ModeReadsBuffers(int32_t mode) { return ModeValid(mode) && mode != MODE_AMBIENT; }

// A stored number of a list of `count` items as it is, or `outside` when it
// is none of them (which only damaged stored data holds).
inline int32_t InListOr(int32_t value, int32_t count, int32_t outside) {
  return value >= 0 && value < count ? value : outside;
}

// One recolouring step. Fields stand in the order they are written as a layer
// line (without the two links).
struct Layer {
  Layer *prev;           // previous layer of the stack, null for the first
  int32_t type;          // LAYER_SURFACE or LAYER_SHADOW
  int8_t active;         // non-zero: applied
  uint8_t color[3];      // red, green, blue, 0 to 255
  double intensity;      // strength in percent
  int32_t mode;          // blend mode index 0 to 9
  int32_t inBuffer;      // buffer index 0 to 12 of the input buffer
  int8_t invert;         // non-zero: the input buffer is inverted
  int32_t alphaBuffer;   // buffer index 0 to 12 of the alpha buffer
  double alphaIntensity; // strength of the alpha buffer in percent
  int8_t alphaInvert;    // non-zero: the alpha buffer is inverted
  Layer *next;           // next layer of the stack, null for the last
};

// One distinct special-buffer value and the layer stack applied to it.
struct SBEntry {
  double value; // the special-buffer value, matched exactly
  int16_t on;   // 1: applied and listed "*"; 0: off, listed "-"
  Layer *head;  // first layer of the stack, null when empty
};

// The layer clipboard of the panel: a layer's properties but its type and
// whether it is active.
struct LayerClip {
  int8_t valid; // 1 once a layer has been copied
  uint8_t color[3];
  double intensity;
  int32_t mode;
  int32_t inBuffer;
  int8_t invert;
  int32_t alphaBuffer;
  double alphaIntensity;
  int8_t alphaInvert;
};

struct EvalProgram;

// One use of the filter in a scene. The description stands first, so that the
// instance's address is also its description text.
struct FilterInstance {
  char description[DESC_LEN];
  // Panel state. The services, the panel and the controls are set while the
  // options panel is open and null otherwise.
  HostPanelFuncs *panelFuncs;
  HostPanelID panel;
  HostControl *ctl[CTL_COUNT];
  int8_t ctlOn[CTL_COUNT];
  Layer *curLayer;
  int32_t curEntry; // selected entry, -1 for none
  // The special-buffer entries; the instance owns the array and the stacks.
  int32_t entryCount;
  SBEntry *entries;
  LayerClip clip;
  int32_t layerCount; // rows of the layer list
  int32_t curLayerNo; // selected row of the layer list, -1 for none
  // The row of the layer list whose text was given last: `rowLayer` stood at
  // row `rowNo` of the stack headed by `rowHead` while the stacks were at
  // change `rowChange` (see StacksChanged in layers.h). Lets the host read
  // the rows in order without a walk from the head for each.
  const Layer *rowLayer;
  const Layer *rowHead;
  int32_t rowNo;
  uint64_t rowChange;
  const char **surfNames; // surfaces of the selected entry; texts are the host's
  float (*surfColors)[3]; // their base colours
  float baseColor[3];     // base colour of the preview
  int32_t previewType;    // 0 "Ball", 1 "Cel-Look Ball", 2 "Shadow"
  // The entries and stacks in the form the evaluation reads fastest (see
  // PrepareEvaluation in effect.h); null while none is made, and then the
  // evaluation walks the entries themselves.
  EvalProgram *program;
};

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

#endif
