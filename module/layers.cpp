// The layer record and the operations on a special-buffer entry's layer stack.
// A stack keeps no count and no tail pointer: an operation finds a position by
// walking from the entry's head.
#include "layers.h"

#include <stdlib.h>

namespace {

uint64_t changes = 0;

// The layer at a position for finding: -1 is the last layer, below -1 counts
// as 0, at or beyond the count names no layer.
Layer *FindLayer(const SBEntry *entry, int32_t position) {
  if (position == -1) position = GetLayerNum(entry) - 1;
  if (position < 0) position = 0;
  Layer *layer = entry->head;
  for (int32_t i = 0; layer != nullptr && i < position; ++i) layer = layer->next;
  return layer;
}

// Links a free layer at a position for linking: on an empty stack it becomes
// the only layer; otherwise -1 means count - 1, 0 or less the new head, 1 to
// count - 1 just before the layer now there, and anything beyond appends.
void LinkLayer(SBEntry *entry, int32_t position, Layer *layer) {
  StacksChanged();
  if (entry->head == nullptr) {
    layer->prev = nullptr;
    layer->next = nullptr;
    entry->head = layer;
    return;
  }
  // On top needs no count, which would walk the stack.
  const int32_t count = position == 0 ? 1 : GetLayerNum(entry);
  if (position == -1) position = count - 1;
  if (position <= 0) {
    layer->prev = nullptr;
    layer->next = entry->head;
    entry->head->prev = layer;
    entry->head = layer;
  } else if (position < count) {
    Layer *target = FindLayer(entry, position);
    layer->prev = target->prev;
    layer->next = target;
    target->prev->next = layer;
    target->prev = layer;
  } else {
    Layer *last = entry->head;
    while (last->next != nullptr) last = last->next;
    last->next = layer;
    layer->prev = last;
    layer->next = nullptr;
  }
}

// Takes a linked layer out of its stack; its own links are left as they were.
void Unlink(SBEntry *entry, Layer *layer) {
  StacksChanged();
  Layer *prev = layer->prev;
  Layer *next = layer->next;
  if (prev != nullptr) {
    prev->next = next;
    if (next != nullptr) next->prev = prev;
  } else {
    entry->head = next;
    if (next != nullptr) next->prev = nullptr;
  }
}

} // namespace

Layer *ClearLayer(Layer *layer) {
  layer->type = LAYER_SURFACE;
  layer->active = 1;
  layer->color[0] = layer->color[1] = layer->color[2] = 255;
  layer->intensity = 100.0;
  layer->mode = 0;
  layer->inBuffer = 0;
  layer->invert = 0;
  layer->alphaBuffer = 0;
  layer->alphaIntensity = 100.0;
  layer->alphaInvert = 0;
  return layer;
}

Layer *AddLayer(SBEntry *entry, int32_t position) {
  Layer *layer = static_cast<Layer *>(malloc(sizeof(Layer)));
  if (layer == nullptr) return nullptr; // out of memory: the stack stays as it was
  layer->prev = layer->next = nullptr;
  ClearLayer(layer);
  LinkLayer(entry, position, layer);
  return layer;
}

Layer *AppendLayerAfter(SBEntry *entry, Layer *tail) {
  Layer *layer = static_cast<Layer *>(malloc(sizeof(Layer)));
  if (layer == nullptr) return nullptr;
  StacksChanged();
  ClearLayer(layer);
  layer->prev = tail;
  layer->next = nullptr;
  if (tail != nullptr)
    tail->next = layer;
  else
    entry->head = layer;
  return layer;
}

void InsertLayer(SBEntry *entry, int32_t position, Layer *layer) {
  if (layer == nullptr) return;
  LinkLayer(entry, position, layer);
}

Layer *UnLinkLayer(SBEntry *entry, int32_t position) {
  Layer *layer = FindLayer(entry, position);
  if (layer == nullptr) return nullptr;
  Unlink(entry, layer);
  layer->prev = layer->next = nullptr;
  return layer;
}

void DelLayer(SBEntry *entry, int32_t position) {
  Layer *layer = FindLayer(entry, position);
  if (layer == nullptr) return;
  Unlink(entry, layer);
  free(layer);
}

void DelAllLayer(SBEntry *entry) {
  for (int32_t n = GetLayerNum(entry); n > 0; --n) {
    Layer *first = entry->head;
    Unlink(entry, first);
    free(first);
  }
}

Layer *GetLayer(const SBEntry *entry, int32_t position) { return FindLayer(entry, position); }

int32_t GetLayerNum(const SBEntry *entry) {
  int32_t count = 0;
  for (const Layer *layer = entry->head; layer != nullptr; layer = layer->next) ++count;
  return count;
}

void SpliceOnTop(SBEntry *to, SBEntry *from) {
  if (from->head == nullptr) return;
  Layer *last = from->head;
  while (last->next != nullptr) last = last->next;
  last->next = to->head;
  if (to->head != nullptr) to->head->prev = last;
  to->head = from->head;
  from->head = nullptr;
  StacksChanged();
}

void StacksChanged() { ++changes; }

uint64_t StackChanges() { return changes; }
