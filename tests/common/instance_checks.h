// Consistency checks of a filter instance, shared by the unit tests and the
// fuzz targets. Each returns an empty text when the instance is consistent,
// else a description of the first fault it finds.
#pragma once

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "effect.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"

namespace checks {

// The most layers a stack walk follows before it calls the stack cyclic.
constexpr long kMaxWalk = 1L << 22;

// Every stack of the instance: the head has no predecessor, each link is
// mirrored by the next layer's back link, and the walk ends.
inline std::string StackLinks(const FilterInstance *inst) {
  if (inst->entryCount < 0) return "negative entry count";
  if (inst->entryCount > 0 && inst->entries == nullptr) return "entries missing";
  for (int32_t e = 0; e < inst->entryCount; ++e) {
    const Layer *layer = inst->entries[e].head;
    if (layer != nullptr && layer->prev != nullptr)
      return "entry " + std::to_string(e) + ": the head has a predecessor";
    long walked = 0;
    for (; layer != nullptr; layer = layer->next) {
      if (++walked > kMaxWalk) return "entry " + std::to_string(e) + ": the stack is cyclic";
      if (layer->next != nullptr && layer->next->prev != layer)
        return "entry " + std::to_string(e) + ": layer " + std::to_string(walked - 1) +
               " is not its successor's predecessor";
    }
  }
  return "";
}

// The panel's selection against the stacks: `layerCount` is the selected
// entry's stack size while the entry is on and 0 otherwise, and `curLayer` is
// the layer in row `curLayerNo` (null for -1). Meaningful only once the stack
// links are sound.
inline std::string Selection(const FilterInstance *inst) {
  const SBEntry *entry = SelectedEntry(inst);
  if (inst->curEntry != -1 && entry == nullptr)
    return "curEntry " + std::to_string(inst->curEntry) + " names no entry";
  if (entry == nullptr) {
    if (inst->layerCount != 0) return "layerCount without a selected entry";
    if (inst->curLayer != nullptr || inst->curLayerNo != -1)
      return "a layer is selected without an entry";
    return "";
  }
  const int32_t expected = entry->on != 0 ? GetLayerNum(entry) : 0;
  if (inst->layerCount != expected)
    return "layerCount " + std::to_string(inst->layerCount) + ", the list has " +
           std::to_string(expected) + " rows";
  if (inst->curLayerNo == -1) {
    if (inst->curLayer != nullptr) return "curLayer set without a selected row";
    return "";
  }
  if (inst->curLayerNo < 0 || inst->curLayerNo >= inst->layerCount)
    return "curLayerNo " + std::to_string(inst->curLayerNo) + " outside the list";
  if (inst->curLayer != GetLayer(entry, inst->curLayerNo))
    return "curLayer is not the layer in row " + std::to_string(inst->curLayerNo);
  return "";
}

// Whether each of controls 2 to 25 is live for the current selection, by the
// conditions the control-state refresh applies.
inline std::vector<bool> ExpectedLive(const FilterInstance *inst) {
  std::vector<bool> live(CTL_COUNT, false);
  const SBEntry *entry = SelectedEntry(inst);
  if (entry == nullptr) return live;
  live[CTL_ACTIVE] = true;

  if (inst->curLayer != nullptr) {
    for (int n : {CTL_ADD_LAYER, CTL_ALL_ON, CTL_ALL_OFF, CTL_ALL_INVERT}) live[n] = true;
    live[CTL_DEL_LAYER] = inst->layerCount > 1;
    live[CTL_IMPORT] = entry->on != 0;
    live[CTL_EXPORT] = entry->on != 0 && entry->head != nullptr;
  }

  const Layer *layer = inst->curLayer;
  if (inst->curLayerNo != -1 && entry->on != 0 && layer != nullptr) {
    for (int n :
         {CTL_COPY, CTL_LAYER_TYPE, CTL_ENABLED, CTL_COLOR, CTL_SWATCH, CTL_INTENSITY, CTL_MODE})
      live[n] = true;
    live[CTL_PASTE] = inst->clip.valid != 0;
    live[CTL_UP] = inst->curLayerNo > 0;
    live[CTL_DOWN] = inst->curLayerNo < inst->layerCount - 1;
    const bool buffers = ModeReadsBuffers(layer->mode);
    for (int n :
         {CTL_IN_BUFFER, CTL_INVERT, CTL_ALPHA_BUFFER, CTL_ALPHA_INTENSITY, CTL_ALPHA_INVERT})
      live[n] = buffers;
  }
  return live;
}

// Every `ctlOn` flag of controls 2 to 25 against ExpectedLive.
inline std::string ControlStates(const FilterInstance *inst) {
  const std::vector<bool> live = ExpectedLive(inst);
  for (int n = CTL_ACTIVE; n <= CTL_ALPHA_INVERT; ++n) {
    if ((inst->ctlOn[n] != 0) != live[n])
      return "control " + std::to_string(n) + " is " + (inst->ctlOn[n] != 0 ? "live" : "ghosted") +
             " but should be " + (live[n] ? "live" : "ghosted");
  }
  return "";
}

// Everything above, in order: the selection is checked only over sound
// stacks, the control states only over a sound selection.
inline std::string Panel(const FilterInstance *inst) {
  std::string fault = StackLinks(inst);
  if (fault.empty()) fault = Selection(inst);
  if (fault.empty()) fault = ControlStates(inst);
  return fault;
}

// ---------------------------------------------------------------------------
// The evaluation's prepared form against the entries themselves

// One pixel whose buffers hold values made from the buffer number; records
// what the filter reads and writes.
struct ProbePixel {
  HostPixelAccess access{};
  float special = 0.0f;
  std::string log;

  explicit ProbePixel(float value) : special(value) {
    access.getVal = GetVal;
    access.setRGBA = SetRGBA;
    access.hostData = this;
  }
  static void GetVal(const HostPixelAccess *a, int buffer, int count, float *out) {
    ProbePixel *p = static_cast<ProbePixel *>(a->hostData);
    p->log += "r" + std::to_string(buffer) + "+" + std::to_string(count) + " ";
    for (int k = 0; k < count; ++k)
      out[k] = buffer + k == 0 ? p->special : 0.05f + 0.07f * static_cast<float>((buffer + k) % 13);
  }
  static void SetRGBA(const HostPixelAccess *a, const float rgba[4]) {
    ProbePixel *p = static_cast<ProbePixel *>(a->hostData);
    char text[96];
    snprintf(text, sizeof text, "w %a %a %a %a ", rgba[0], rgba[1], rgba[2], rgba[3]);
    p->log += text;
  }
};

// The instance's evaluation, whether through its prepared form or not, reads
// and writes exactly what a walk of its entries does, for the value of every
// entry and a value of none.
inline std::string EvaluationAgreesWithTheWalk(const FilterInstance *inst) {
  FilterInstance walker = *inst; // the same entries, read only
  walker.program = nullptr;
  std::vector<float> values = {-12345.0f};
  for (int32_t e = 0; e < inst->entryCount; ++e)
    values.push_back(static_cast<float>(inst->entries[e].value));
  for (float value : values) {
    ProbePixel prepared(value), walked(value);
    QXEvaluate(const_cast<FilterInstance *>(inst), &prepared.access);
    QXEvaluate(&walker, &walked.access);
    if (prepared.log != walked.log)
      return "value " + std::to_string(value) + ": evaluated \"" + prepared.log +
             "\", the walk \"" + walked.log + "\"";
  }
  return "";
}

// ---------------------------------------------------------------------------
// Scene state round trip

namespace detail {

struct LineReader {
  const std::vector<std::string> *lines;
  size_t next = 0;
};

inline int ReadLine(void *data, char *buffer, int capacity) {
  LineReader *in = static_cast<LineReader *>(data);
  if (capacity <= 0) return -1;
  if (in->next >= in->lines->size()) {
    buffer[0] = '\0';
    return -1;
  }
  const std::string &line = (*in->lines)[in->next++];
  const size_t n = std::min(line.size(), static_cast<size_t>(capacity - 1));
  line.copy(buffer, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

inline void WriteLine(void *data, const char *text, int length) {
  static_cast<std::vector<std::string> *>(data)->emplace_back(
      text, strnlen(text, static_cast<size_t>(length)));
}

} // namespace detail

// The scene-state lines the instance saves.
inline std::vector<std::string> SaveLines(HostInstance inst) {
  std::vector<std::string> lines;
  HostSaveState save{&lines, detail::WriteLine};
  QXSave(inst, &save);
  return lines;
}

// Loads `lines` into the instance; returns load's error text or null.
inline const char *LoadLines(HostInstance inst, const std::vector<std::string> &lines) {
  detail::LineReader reader{&lines};
  HostLoadState load{&reader, detail::ReadLine};
  return QXLoad(inst, &load);
}

// Every saved line fits what load reads, and saving, loading into a fresh
// instance and saving again gives the same lines.
inline std::string SaveLoadRoundTrip(HostInstance inst) {
  const std::vector<std::string> saved = SaveLines(inst);
  for (size_t i = 1; i < saved.size(); ++i)
    if (saved[i].size() >= SCENE_LINE_LEN)
      return "saved line " + std::to_string(i) + " is too long for load: " + saved[i];
  std::string fault;
  HostInstance again = QXCreate(nullptr, nullptr, nullptr);
  if (again == nullptr) {
    fault = "no fresh instance to load into";
  } else {
    if (const char *error = LoadLines(again, saved))
      fault = std::string("the saved state did not load: ") + error;
    else if (SaveLines(again) != saved)
      fault = "the saved state loaded back to other lines";
    QXDestroy(again);
  }
  return fault;
}

} // namespace checks
