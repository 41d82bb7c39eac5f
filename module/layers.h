// The operations on the doubly linked layer stacks that special-buffer
// entries own (the Layer record itself is in model.h).
#ifndef QX_MODULE_LAYERS_H
#define QX_MODULE_LAYERS_H

#include "model.h"

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
// Puts the whole stack of `from`, in its order, on top of the stack of `to`:
// the first layer of `from` takes position 0 and the layers `to` had follow
// in their old order. `from` is left empty.
void SpliceOnTop(SBEntry *to, SBEntry *from);

// Counts every change to any stack: each operation above that links, unlinks,
// makes or releases a layer calls StacksChanged, and so must any code that
// relinks layers itself. A position remembered at one count is still true
// while the count is the same.
void StacksChanged();
uint64_t StackChanges();
Layer *ClearLayer(Layer *layer);

#endif
