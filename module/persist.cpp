// Persistence: the scene state and the layer-set files.
//
// The scene state is the instance's entries that are switched on and hold
// layers, stored as text lines through the host's save and load records:
//
//   "-3 E T"                                  header: E entries, T layers
//   "<value> <n> "                            one entry line per entry
//   "<type> <active> <r> <g> <b> ..."        then its n layer lines
//
// Load builds the new entries completely before it touches the instance, so
// that a scene of another version, damaged lines or a lack of memory leave the
// instance exactly as it was.
#include "persist.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "layers.h"
#include "module.h"

namespace {

const char kVersionMessage[] = "Quintessalux Error...セーブデータのバージョンに互換性がありません";

// The twelve fields of a layer, shared with the layer-set files.
const char kLayerFormat[] = "%d %d %d %d %d %lf %d %d %d %d %lf %d";

// A line table row: one stored line as load reads it.
typedef char LineText[SCENE_LINE_LEN];

// The lines of a scene state after the header, handed out in order. Past the
// last line it hands out null, whatever the counts in the lines promised.
struct LineCursor {
  const LineText *rows;
  int32_t count;
  int32_t next;

  const char *Next() { return next < count ? rows[next++] : nullptr; }
};

// Whether an entry goes into the scene state.
bool IsStored(const SBEntry &entry) { return entry.on != 0 && entry.head != nullptr; }

void WriteLine(const HostSaveState *state, const char *text) {
  state->write(state->writeData, text, SCENE_HEADER_LEN);
}

// Whether `text` reads back through "%lf" as `value`. A NaN never matches a
// pixel, so any NaN that comes back will do.
bool ReadsBackAs(const char *text, double value) {
  double back = 0.0;
  if (sscanf(text, "%lf", &back) != 1) return false;
  return back == value || (back != back && value != value);
}

// The shortest text among "%.<p>g" and "%.<p>f" that reads back through
// "%lf" as the very same double. "%.17g" always reads back, so there is always
// an answer, of at most 24 characters.
void ShortestExactText(char out[32], double value) {
  char text[SCENE_HEADER_LEN];
  int bestLength = snprintf(out, 32, "%.17g", value);
  for (int precision = 1; precision <= 17; ++precision) {
    for (int fixed = 0; fixed < 2; ++fixed) {
      const int textLength = fixed == 1 ? snprintf(text, sizeof text, "%.*f", precision, value)
                                        : snprintf(text, sizeof text, "%.*g", precision, value);
      if (textLength > 0 && textLength < bestLength && ReadsBackAs(text, value)) {
        memcpy(out, text, static_cast<size_t>(textLength) + 1);
        bestLength = textLength;
      }
    }
  }
}

// Writes the entry line of a value and its layer count into `line`. Six
// decimals when they give the value back exactly and the line stays short
// enough for load to read whole; otherwise the shortest exact text, so that a
// value with more decimals still matches its pixels after a reload.
void FormatEntryLine(char line[SCENE_HEADER_LEN], double value, int32_t layers) {
  char text[SCENE_HEADER_LEN];
  snprintf(text, sizeof text, "%lf", value);
  const int length = snprintf(line, SCENE_HEADER_LEN, "%s %d ", text, layers);
  if (length > 0 && length < SCENE_LINE_LEN && ReadsBackAs(text, value)) return;
  char best[32];
  ShortestExactText(best, value);
  snprintf(line, SCENE_HEADER_LEN, "%s %d ", best, layers);
}

// Writes a layer line. The two percentages go out with six decimals; only
// when that would make the line too long for load to read whole (a huge
// intensity) do they go out as their shortest exact text instead.
void FormatLayerLine(char line[SCENE_HEADER_LEN], const Layer *layer) {
  const int length =
      snprintf(line, SCENE_HEADER_LEN, kLayerFormat, layer->type, layer->active, layer->color[0],
               layer->color[1], layer->color[2], layer->intensity, layer->mode, layer->inBuffer,
               layer->invert, layer->alphaBuffer, layer->alphaIntensity, layer->alphaInvert);
  if (length > 0 && length < SCENE_LINE_LEN) return;
  char intensity[32], alphaIntensity[32];
  ShortestExactText(intensity, layer->intensity);
  ShortestExactText(alphaIntensity, layer->alphaIntensity);
  snprintf(line, SCENE_HEADER_LEN, "%d %d %d %d %d %s %d %d %d %d %s %d", layer->type,
           layer->active, layer->color[0], layer->color[1], layer->color[2], intensity, layer->mode,
           layer->inBuffer, layer->invert, layer->alphaBuffer, alphaIntensity, layer->alphaInvert);
}

// The low 8 bits of a stored integer, as an 8-bit field keeps them.
int8_t LowSigned8(int value) { return static_cast<int8_t>(static_cast<uint8_t>(value & 0xFF)); }
uint8_t LowUnsigned8(int value) { return static_cast<uint8_t>(value & 0xFF); }

// Parses a layer line into a layer's twelve fields. Buffer indices, type and
// mode are kept as stored; the engine and the panel treat values outside
// their ranges as harmless.
bool ParseLayerLine(const char *text, Layer *layer) {
  int type = 0, active = 0, red = 0, green = 0, blue = 0, mode = 0, inBuffer = 0, invert = 0,
      alphaBuffer = 0, alphaInvert = 0;
  double intensity = 0.0, alphaIntensity = 0.0;
  if (sscanf(text, kLayerFormat, &type, &active, &red, &green, &blue, &intensity, &mode, &inBuffer,
             &invert, &alphaBuffer, &alphaIntensity, &alphaInvert) != 12)
    return false;
  layer->type = type;
  layer->active = LowSigned8(active);
  layer->color[0] = LowUnsigned8(red);
  layer->color[1] = LowUnsigned8(green);
  layer->color[2] = LowUnsigned8(blue);
  layer->intensity = intensity;
  layer->mode = mode;
  layer->inBuffer = inBuffer;
  layer->invert = LowSigned8(invert);
  layer->alphaBuffer = alphaBuffer;
  layer->alphaIntensity = alphaIntensity;
  layer->alphaInvert = LowSigned8(alphaInvert);
  return true;
}

// Releases an entry array with every stack it holds.
void FreeEntries(SBEntry *entries, int32_t count) {
  for (int32_t i = 0; i < count; ++i) DelAllLayer(&entries[i]);
  free(entries);
}

// Parses the line table of a scene state with `entryCount` entries and
// `layerTotal` layers into a new entry array, every entry switched on and its
// layers in stored order. Returns false, with nothing left allocated, when a
// line does not parse, when the entry lines' layer counts do not add up to
// the total, or when memory runs out.
bool ParseEntries(LineCursor lines, int32_t entryCount, int32_t layerTotal, SBEntry **entriesOut) {
  *entriesOut = nullptr;
  if (entryCount == 0) return layerTotal == 0;
  SBEntry *entries =
      static_cast<SBEntry *>(calloc(static_cast<size_t>(entryCount), sizeof(SBEntry)));
  if (entries == nullptr) return false; // no memory: the caller keeps the old entries
  int32_t layersLeft = layerTotal;
  for (int32_t i = 0; i < entryCount; ++i) {
    double value = 0.0;
    int layers = 0;
    // Each entry line's count is checked against what the header left, so
    // that a damaged count allocates no more layers than there are lines.
    const char *line = lines.Next();
    if (line == nullptr || sscanf(line, "%lf %d", &value, &layers) != 2 || layers < 0 ||
        layers > layersLeft) {
      FreeEntries(entries, entryCount);
      return false;
    }
    layersLeft -= layers;
    entries[i].value = value;
    entries[i].on = 1;
    entries[i].head = nullptr;
    // The stack is built by appending, in stored order; a layer is linked
    // before it is parsed so that a failure releases it with the rest.
    Layer *tail = nullptr;
    for (int32_t j = 0; j < layers; ++j) {
      Layer *layer = static_cast<Layer *>(malloc(sizeof(Layer)));
      if (layer == nullptr) { // no memory: the caller keeps the old entries
        FreeEntries(entries, entryCount);
        return false;
      }
      ClearLayer(layer);
      layer->prev = tail;
      layer->next = nullptr;
      if (tail != nullptr)
        tail->next = layer;
      else
        entries[i].head = layer;
      tail = layer;
      line = lines.Next();
      if (line == nullptr || !ParseLayerLine(line, layer)) {
        FreeEntries(entries, entryCount);
        return false;
      }
    }
  }
  if (layersLeft != 0) { // the header promised other lines than the entries hold
    FreeEntries(entries, entryCount);
    return false;
  }
  *entriesOut = entries;
  return true;
}

// Reads a whole scene state into a new entry array and its count. Returns
// false, with nothing left allocated, for another version, damaged data or a
// lack of memory.
bool ReadScene(const HostLoadState *state, SBEntry **entriesOut, int32_t *countOut) {
  char header[SCENE_HEADER_LEN] = "";
  state->read(state->readData, header, SCENE_HEADER_LEN);
  header[SCENE_HEADER_LEN - 1] = '\0';
  int version = 0, entryCount = 0, layerTotal = 0;
  if (sscanf(header, "%d %d %d", &version, &entryCount, &layerTotal) != 3) return false;
  if (version != SCENE_VERSION) return false;
  // Nothing is allocated for a count before it is known to be within bounds.
  if (entryCount < 0 || entryCount > SCENE_MAX_ENTRIES) return false;
  if (layerTotal < 0 || layerTotal > SCENE_MAX_LAYERS) return false;

  // All announced lines are read before any is parsed.
  const int32_t lines = entryCount + layerTotal;
  LineText *table = nullptr;
  if (lines > 0) {
    table = static_cast<LineText *>(malloc(static_cast<size_t>(lines) * sizeof(LineText)));
    if (table == nullptr) return false; // no memory: the caller keeps the old entries
  }
  for (int32_t i = 0; i < lines; ++i) {
    table[i][0] = '\0';
    const int got = state->read(state->readData, table[i], SCENE_LINE_LEN);
    table[i][SCENE_LINE_LEN - 1] = '\0';
    if (got < 0) { // the host has fewer lines than announced
      free(table);
      return false;
    }
  }
  const bool parsed = ParseEntries(LineCursor{table, lines, 0}, entryCount, layerTotal, entriesOut);
  free(table);
  if (!parsed) return false;
  *countOut = entryCount;
  return true;
}

} // namespace

HostError QXSave(HostInstance instance, const HostSaveState *state) {
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  if (inst == nullptr || state == nullptr || state->write == nullptr) return nullptr;
  const int32_t count = inst->entries != nullptr ? inst->entryCount : 0;

  int32_t stored = 0;
  int32_t layerTotal = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (!IsStored(inst->entries[i])) continue;
    ++stored;
    layerTotal += GetLayerNum(&inst->entries[i]);
  }

  char line[SCENE_HEADER_LEN];
  snprintf(line, sizeof line, "%d %d %d", SCENE_VERSION, stored, layerTotal);
  WriteLine(state, line);
  for (int32_t i = 0; i < count; ++i) {
    const SBEntry &entry = inst->entries[i];
    if (!IsStored(entry)) continue;
    FormatEntryLine(line, entry.value, GetLayerNum(&entry));
    WriteLine(state, line);
    for (const Layer *layer = entry.head; layer != nullptr; layer = layer->next) {
      FormatLayerLine(line, layer);
      WriteLine(state, line);
    }
  }
  return nullptr;
}

HostError QXLoad(HostInstance instance, const HostLoadState *state) {
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (inst == nullptr || state == nullptr || state->read == nullptr) return nullptr;

  SBEntry *entries = nullptr;
  int32_t count = 0;
  if (!ReadScene(state, &entries, &count)) {
    // The host hears of no error; the user does, and the instance keeps the
    // entries it had.
    ShowInfo(kVersionMessage);
    return nullptr;
  }
  FreeEntries(inst->entries, inst->entryCount);
  inst->entries = entries;
  inst->entryCount = count;
  Bcount = count;
  inst->curLayer = nullptr; // it pointed into the released stacks
  return nullptr;
}

// ---------------------------------------------------------------------------
// Layer-set files

// Built with the panel's editing handlers; until then "Export" and "Import"
// do nothing.
void Pop_SaveBuf(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}

void Pop_LoadBuf(HostControl *control, void *instance) {
  (void)control;
  (void)instance;
}
