// The layer record and the doubly linked layer stacks that special-buffer
// entries own.
#ifndef QX_MODULE_LAYERS_H
#define QX_MODULE_LAYERS_H

#include <stdint.h>

struct SBEntry;

// Layer types.
enum { LAYER_SURFACE = 0, LAYER_SHADOW = 1, LAYER_TYPES };

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

// Positions count from 0 at the head; -1 names the last layer.
// AddLayer returns the new layer, or null when no memory is left (the stack is
// then unchanged).
Layer *AddLayer(SBEntry *entry, int32_t position);
void InsertLayer(SBEntry *entry, int32_t position, Layer *layer);
Layer *UnLinkLayer(SBEntry *entry, int32_t position);
void DelLayer(SBEntry *entry, int32_t position);
void DelAllLayer(SBEntry *entry);
Layer *GetLayer(const SBEntry *entry, int32_t position);
// Makes a layer with the defaults and links it after `tail`, which is the
// stack's last layer, or null for an empty stack: appending without a walk,
// for code that builds a whole stack in order. Returns the layer, or null
// when no memory is left (the stack is then unchanged).
Layer *AppendLayerAfter(SBEntry *entry, Layer *tail);
int32_t GetLayerNum(const SBEntry *entry);

// Counts every change to any stack: each operation above that links, unlinks,
// makes or releases a layer calls StacksChanged, and so must any code that
// relinks layers itself. A position remembered at one count is still true
// while the count is the same.
void StacksChanged();
uint64_t StackChanges();
Layer *ClearLayer(Layer *layer);

#endif
