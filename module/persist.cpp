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

#include <ctype.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "controls.h"
#include "effect.h"
#include "layers.h"
#include "preview.h"
#include "services.h"

char Fnode[FILE_TEXT_LEN];
char Fpath[FILE_TEXT_LEN];
char Fname[FILE_TEXT_LEN];

namespace {

const char kVersionMessage[] = "Quintessalux Error...セーブデータのバージョンに互換性がありません";

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

// `value` cut toward zero to `digits` significant digits (1 to 16), written
// as the shortest text that reads back as the cut value. Cutting toward zero
// never takes a finite value past the largest double.
void CutText(char out[32], double value, int digits) {
  char text[40];
  snprintf(text, sizeof text, "%.16e", value); // [-]d.dddddddddddddddde<exponent>
  const char *dot = strchr(text, '.');
  const char *exponent = strchr(text, 'e');
  if (dot == nullptr || exponent == nullptr) { // infinite or NaN: nothing to cut
    ShortestExactText(out, value);
    return;
  }
  char cut[40];
  const size_t keep = static_cast<size_t>(dot - text) + (digits > 1 ? 1 + (digits - 1) : 0);
  memcpy(cut, text, keep);
  snprintf(cut + keep, sizeof cut - keep, "%s", exponent);
  double back = value;
  if (sscanf(cut, "%lf", &back) != 1) back = value;
  ShortestExactText(out, back);
}

// ---------------------------------------------------------------------------
// The layer line: a layer's twelve numbers, the same in the scene state and
// in the layer-set files.

// How a field of the layer line is kept in the layer.
enum FieldKind {
  FIELD_INT32, // a signed 32-bit number
  FIELD_INT8,  // a flag: read as an integer, its low 8 bits kept
  FIELD_BYTE,  // a colour channel: read as an integer, its low 8 bits kept
  FIELD_REAL,  // a percentage, written with six decimals
};

struct LayerLineField {
  FieldKind kind;
  size_t offset; // of the field in Layer
  // For a number that names an item of a list (type, mode, buffer): the
  // list's length. Such a number outside its list acts as -1 does.
  int32_t items;
};

// The twelve fields in line order.
constexpr LayerLineField kLayerLine[LAYER_LINE_FIELDS] = {
    {FIELD_INT32, offsetof(Layer, type), LAYER_ROW_SYMBOLS},
    {FIELD_INT8, offsetof(Layer, active), 0},
    {FIELD_BYTE, offsetof(Layer, color) + 0, 0},
    {FIELD_BYTE, offsetof(Layer, color) + 1, 0},
    {FIELD_BYTE, offsetof(Layer, color) + 2, 0},
    {FIELD_REAL, offsetof(Layer, intensity), 0},
    {FIELD_INT32, offsetof(Layer, mode), MODE_COUNT},
    {FIELD_INT32, offsetof(Layer, inBuffer), BUF_INDEX_COUNT},
    {FIELD_INT8, offsetof(Layer, invert), 0},
    {FIELD_INT32, offsetof(Layer, alphaBuffer), BUF_INDEX_COUNT},
    {FIELD_REAL, offsetof(Layer, alphaIntensity), 0},
    {FIELD_INT8, offsetof(Layer, alphaInvert), 0},
};
// A row short of LAYER_LINE_FIELDS would leave the last one zero.
static_assert(kLayerLine[LAYER_LINE_FIELDS - 1].offset == offsetof(Layer, alphaInvert),
              "the layer line's table ends with its last field, AlphaInvert");

// The numbers of a layer line as they are read, before the 8-bit fields keep
// their low 8 bits: an integer or a real per field.
struct LineNumbers {
  int integer[LAYER_LINE_FIELDS];
  double real[LAYER_LINE_FIELDS];
};

const char *FieldOf(const Layer *layer, const LayerLineField &field) {
  return reinterpret_cast<const char *>(layer) + field.offset;
}

char *FieldOf(Layer *layer, const LayerLineField &field) {
  return reinterpret_cast<char *>(layer) + field.offset;
}

// A layer's own numbers, so that fields a reader does not reach keep them.
LineNumbers NumbersOf(const Layer *layer) {
  LineNumbers n = {};
  for (int i = 0; i < LAYER_LINE_FIELDS; ++i) {
    const LayerLineField &field = kLayerLine[i];
    const char *at = FieldOf(layer, field);
    switch (field.kind) {
    case FIELD_INT32:
      memcpy(&n.integer[i], at, sizeof(int32_t));
      break;
    case FIELD_INT8:
      n.integer[i] = *reinterpret_cast<const int8_t *>(at);
      break;
    case FIELD_BYTE:
      n.integer[i] = *reinterpret_cast<const uint8_t *>(at);
      break;
    case FIELD_REAL:
      memcpy(&n.real[i], at, sizeof(double));
      break;
    }
  }
  return n;
}

// Stores read numbers into a layer; each 8-bit field keeps the low 8 bits of
// its integer. Buffer indices, type and mode are kept as stored; the engine
// and the panel treat values outside their ranges as harmless.
void StoreNumbers(const LineNumbers &n, Layer *layer) {
  for (int i = 0; i < LAYER_LINE_FIELDS; ++i) {
    const LayerLineField &field = kLayerLine[i];
    char *at = FieldOf(layer, field);
    const uint8_t low8 = static_cast<uint8_t>(n.integer[i] & 0xFF);
    switch (field.kind) {
    case FIELD_INT32: {
      const int32_t value = n.integer[i];
      memcpy(at, &value, sizeof value);
      break;
    }
    case FIELD_INT8:
      *reinterpret_cast<int8_t *>(at) = static_cast<int8_t>(low8);
      break;
    case FIELD_BYTE:
      *reinterpret_cast<uint8_t *>(at) = low8;
      break;
    case FIELD_REAL:
      memcpy(at, &n.real[i], sizeof(double));
      break;
    }
  }
}

// Writes a layer line of `layer`, the fields separated by one space, with the
// two percentages as the texts given (in line order); with `inLists`, a
// type, mode or buffer index outside its list goes out as -1. Returns whether
// the line fits what load reads.
bool WriteLayerLine(char line[SCENE_HEADER_LEN], const Layer *layer, bool inLists,
                    const char *const reals[2]) {
  const LineNumbers n = NumbersOf(layer);
  int length = 0;
  int real = 0;
  for (int i = 0; i < LAYER_LINE_FIELDS; ++i) {
    const LayerLineField &field = kLayerLine[i];
    const char *separator = i == 0 ? "" : " ";
    const int room = SCENE_HEADER_LEN - length;
    int wrote;
    if (field.kind == FIELD_REAL) {
      wrote = snprintf(line + length, static_cast<size_t>(room), "%s%s", separator, reals[real++]);
    } else {
      const int value =
          inLists && field.items > 0 ? InListOr(n.integer[i], field.items, -1) : n.integer[i];
      wrote = snprintf(line + length, static_cast<size_t>(room), "%s%d", separator, value);
    }
    if (wrote < 0 || wrote >= room) return false;
    length += wrote;
  }
  return length < SCENE_LINE_LEN;
}

// Writes a layer line: the twelve numbers, the two percentages with six
// decimals. Only numbers that damaged stored data brings in (a huge
// percentage, a type, mode or buffer index far outside its list) can make
// that line too long for load to read whole, and then the whole scene state
// would be refused on the next load. Such a line is written, in this order
// of preference, as the first that fits:
//   1. the numbers outside their lists as -1, which acts exactly as they do
//      (a buffer reads as "None", a mode leaves the colour as it is, a type
//      has no row symbol);
//   2. also the percentages as their shortest exact text;
//   3. also the percentages cut toward zero, one digit fewer at a time: a
//      scene that loads back beats an absurd number kept exactly.
// Each later form is tried only when the earlier ones are too long, and so a
// state saved, loaded and saved again gives the same lines.
void FormatLayerLine(char line[SCENE_HEADER_LEN], const Layer *layer) {
  char intensity[SCENE_HEADER_LEN], alphaIntensity[SCENE_HEADER_LEN];
  const char *const reals[2] = {intensity, alphaIntensity};
  snprintf(intensity, sizeof intensity, "%lf", layer->intensity);
  snprintf(alphaIntensity, sizeof alphaIntensity, "%lf", layer->alphaIntensity);
  // A six-decimal text cut at its buffer is too long for the line anyway.
  if (WriteLayerLine(line, layer, false, reals)) return;
  if (WriteLayerLine(line, layer, true, reals)) return;
  ShortestExactText(intensity, layer->intensity);
  ShortestExactText(alphaIntensity, layer->alphaIntensity);
  if (WriteLayerLine(line, layer, true, reals)) return;
  for (int digits = 16; digits >= 1; --digits) {
    CutText(intensity, layer->intensity, digits);
    CutText(alphaIntensity, layer->alphaIntensity, digits);
    if (WriteLayerLine(line, layer, true, reals)) return;
  }
}

// Reads the next integer of a stored line as "%d" does (white space, a sign,
// digits), but in its full width: a number outside the int range is damaged
// data, not one to wrap into range. Returns the text after the number, or
// null when no integer stands there or it does not fit.
const char *ScanInt(const char *text, int *out) {
  char *end = nullptr;
  // A number too large even for long long comes back as its limit, which is
  // outside the int range as well.
  const long long value = strtoll(text, &end, 10);
  if (end == text || value < INT_MIN || value > INT_MAX) return nullptr;
  *out = static_cast<int>(value);
  return end;
}

// Reads the next number of a stored line as "%lf" does. Returns the text after
// it, or null when no number stands there.
const char *ScanReal(const char *text, double *out) {
  int used = 0;
  if (sscanf(text, "%lf%n", out, &used) != 1) return nullptr;
  return text + used;
}

// Parses a layer line into a layer's twelve fields; a line that does not hold
// all twelve, or holds an integer outside the int range, changes nothing.
bool ParseLayerLine(const char *text, Layer *layer) {
  LineNumbers n = NumbersOf(layer);
  for (int i = 0; i < LAYER_LINE_FIELDS; ++i) {
    text = kLayerLine[i].kind == FIELD_REAL ? ScanReal(text, &n.real[i])
                                            : ScanInt(text, &n.integer[i]);
    if (text == nullptr) return false;
  }
  StoreNumbers(n, layer);
  return true;
}

// Parses the line table of a scene state with `entryCount` entries and
// `layerTotal` layers into a new entry array, every entry switched on and its
// layers in stored order. Returns false, with nothing left allocated, when a
// line does not parse, when the entry lines' layer counts do not add up to
// the total, or when memory runs out.
bool ParseEntries(LineCursor lines, int32_t entryCount, int32_t layerTotal, SBEntry **entriesOut) {
  *entriesOut = nullptr;
  if (entryCount == 0) return layerTotal == 0;
  SBEntry *entries = AllocEntries(entryCount);
  if (entries == nullptr) return false; // no memory: the caller keeps the old entries
  int32_t layersLeft = layerTotal;
  for (int32_t i = 0; i < entryCount; ++i) {
    double value = 0.0;
    int layers = 0;
    // Each entry line's count is checked against what the header left, so
    // that a damaged count allocates no more layers than there are lines.
    const char *line = lines.Next();
    const char *rest = line != nullptr ? ScanReal(line, &value) : nullptr;
    if (rest != nullptr) rest = ScanInt(rest, &layers);
    if (rest == nullptr || layers < 0 || layers > layersLeft) {
      FreeEntries(entries, entryCount);
      return false;
    }
    layersLeft -= layers;
    entries[i].value = value;
    entries[i].on = 1;
    // The stack is built by appending, in stored order; a layer is linked
    // before it is parsed so that a failure releases it with the rest.
    Layer *tail = nullptr;
    for (int32_t j = 0; j < layers; ++j) {
      Layer *layer = AppendLayerAfter(&entries[i], tail);
      if (layer == nullptr) { // no memory: the caller keeps the old entries
        FreeEntries(entries, entryCount);
        return false;
      }
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
  const char *rest = ScanInt(header, &version);
  if (rest != nullptr) rest = ScanInt(rest, &entryCount);
  if (rest != nullptr) rest = ScanInt(rest, &layerTotal);
  if (rest == nullptr) return false; // unparsable, or a number outside the int range
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
  // The buffer list's row count belongs to the instance whose panel is open.
  if (PanelOwner == nullptr || PanelOwner == inst) Bcount = count;
  inst->curLayer = nullptr; // it pointed into the released stacks
  // An instance whose panel is open is prepared when the panel closes.
  if (inst == PanelOwner)
    DropEvaluation(inst);
  else
    PrepareEvaluation(inst);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Layer-set files
//
// A layer set is one entry's stack in a text file of its own:
//
//   "Quintessalux_LayerSet_Ver.1.9"           header word, not examined
//   "-3 n"                                    version tag and layer count
//   "<type> <active> <r> <g> <b> ..."        n layer lines, top layer first
//
// It is read token by token, so the line ends are not required. The codec
// below reads and writes one stack; the "Export" and "Import" handlers after
// it ask the user for the file and put the stack in place.

namespace {

const char kLayerSetWord[] = "Quintessalux_LayerSet_Ver.1.9";

// The header word is not examined, but it is read to a limit: a file that
// never ends its first word (a device full of zero bytes) is damaged rather
// than read for ever.
enum { LAYER_SET_WORD_MAX = 4096 };

// Skips the header word, at most LAYER_SET_WORD_MAX characters after any
// white space. Returns false when the word runs on past that.
bool SkipHeaderWord(FILE *file) {
  int c = fgetc(file);
  while (c != EOF && isspace(c) != 0) c = fgetc(file);
  for (int32_t length = 0; c != EOF && isspace(c) == 0; c = fgetc(file)) {
    if (++length > LAYER_SET_WORD_MAX) return false;
  }
  if (c != EOF) ungetc(c, file);
  return true;
}

// What reading one integer from a layer-set file found.
enum class Scanned { Number, Nothing, TooWide };

// Reads the next integer of a layer-set file as "%d" does (white space, a
// sign, digits), but in its full width: a number outside the int range is
// TooWide, damaged data rather than one to wrap into range.
Scanned ScanFileInt(FILE *file, int *out) {
  int c = fgetc(file);
  while (c != EOF && isspace(c) != 0) c = fgetc(file);
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = fgetc(file);
  }
  if (c == EOF || isdigit(c) == 0) {
    if (c != EOF) ungetc(c, file);
    return Scanned::Nothing;
  }
  long long magnitude = 0;
  bool wide = false;
  for (; c != EOF && isdigit(c) != 0; c = fgetc(file)) {
    if (wide) continue; // the rest of the number is read, and refused
    magnitude = magnitude * 10 + (c - '0');
    wide = magnitude > -static_cast<long long>(INT_MIN);
  }
  if (c != EOF) ungetc(c, file);
  const long long value = negative ? -magnitude : magnitude;
  if (wide || value < INT_MIN || value > INT_MAX) return Scanned::TooWide;
  *out = static_cast<int>(value);
  return Scanned::Number;
}

// Makes `count` default layers as the stack of `made`, first to last.
// Returns false, with nothing left allocated, when memory runs out.
bool MakeDefaultLayers(int32_t count, SBEntry *made) {
  Layer *last = nullptr;
  for (int32_t i = 0; i < count; ++i) {
    last = AppendLayerAfter(made, last);
    if (last == nullptr) { // no memory: release what was made
      DelAllLayer(made);
      return false;
    }
  }
  return true;
}

// Reads the layers' numbers in file order. Once the file runs short or holds
// something else, the layers still to come keep their defaults. Returns false
// when the file holds an integer outside the int range: a damaged file.
bool ReadLayerNumbers(FILE *file, Layer *first) {
  for (Layer *layer = first; layer != nullptr; layer = layer->next) {
    LineNumbers n = NumbersOf(layer);
    int got = 0;
    for (int i = 0; i < LAYER_LINE_FIELDS; ++i) {
      if (kLayerLine[i].kind == FIELD_REAL) {
        if (fscanf(file, "%lf", &n.real[i]) != 1) break;
      } else {
        const Scanned scanned = ScanFileInt(file, &n.integer[i]);
        if (scanned == Scanned::TooWide) return false;
        if (scanned == Scanned::Nothing) break;
      }
      ++got;
    }
    if (got > 0) StoreNumbers(n, layer); // the numbers not reached are the defaults
    if (got != LAYER_LINE_FIELDS) return true;
  }
  return true;
}

} // namespace

bool LayerSetWrite(FILE *file, const SBEntry *entry) {
  bool written = fprintf(file, "%s\n", kLayerSetWord) >= 0;
  written = fprintf(file, "%d %d\n", SCENE_VERSION, GetLayerNum(entry)) >= 0 && written;
  for (const Layer *layer = entry->head; layer != nullptr; layer = layer->next) {
    char line[SCENE_HEADER_LEN];
    FormatLayerLine(line, layer); // the same layer line as the scene state
    written = fprintf(file, "%s\n", line) >= 0 && written;
  }
  // Buffered text reaches the disk at the latest when the file is closed.
  written = fflush(file) == 0 && written;
  written = fclose(file) == 0 && written;
  return written;
}

LayerSetStatus LayerSetRead(FILE *file, int32_t room, SBEntry *made) {
  // The version tag must be there; a missing count reads as 0. A number
  // outside the int range, a header word without end or more layers than
  // there is room for make the file damaged: nothing is made.
  int tag = 0, count = 0;
  if (!SkipHeaderWord(file) || ScanFileInt(file, &tag) != Scanned::Number || tag != SCENE_VERSION)
    return LAYER_SET_REFUSED;
  if (ScanFileInt(file, &count) == Scanned::TooWide || count > room) return LAYER_SET_REFUSED;
  if (count <= 0) return LAYER_SET_READ;
  // Every announced layer is made, with the defaults where the file runs
  // short; a damaged number releases them all.
  if (!MakeDefaultLayers(count, made)) return LAYER_SET_NO_MEMORY;
  if (!ReadLayerNumbers(file, made->head)) {
    DelAllLayer(made);
    return LAYER_SET_REFUSED;
  }
  return LAYER_SET_READ;
}

// ---------------------------------------------------------------------------
// "Export" and "Import"

namespace {

const char kExportTitle[] = "Export LayerSet";
const char kImportTitle[] = "Import LayerSet";
const char kExportPattern[] = ">*.QXD";
const char kImportPattern[] = "<*.QXD";
const char kOpenError[] = "File open error!";
const char kVersionError[] = "File version error!";
// Export tells the user when the file could not be written whole (a full
// disk), rather than leaving a cut file behind as if it had been saved.
const char kWriteError[] = "File write error!";

// Export writes the file under this suffix beside the chosen name and puts it
// in place only once it is whole.
const char kTemporarySuffix[] = ".tmp";

// The steps export and import share: with an entry current and the three
// services there, asks the user for a file, starting from the content
// directory the first time. Returns whether the user chose one; its name is
// then in Fnode.
bool RequestLayerSet(const FilterInstance *inst, const char *pattern, const char *title) {
  if (inst == nullptr || inst->curEntry < 0 || inst->curEntry >= inst->entryCount) return false;
  HostFileRequestFunc *request =
      reinterpret_cast<HostFileRequestFunc *>(HostService(HOST_FILE_REQUEST));
  HostDirectoryFunc *directory =
      reinterpret_cast<HostDirectoryFunc *>(HostService(HOST_DIRECTORY_INFO));
  if (request == nullptr || directory == nullptr || HostService(HOST_MESSAGE_FUNCS) == nullptr)
    return false;

  strcpy(Fname, pattern);
  if (Fpath[0] == '\0') {
    const char *content = directory("Content");
    if (content != nullptr && strlen(content) < FILE_TEXT_LEN) strcpy(Fpath, content);
  }
  if (request(title, Fname, Fpath, Fnode, FILE_TEXT_LEN) == 0) return false;
  // The requester fills the buffers; they stay terminated whatever it wrote.
  Fname[FILE_TEXT_LEN - 1] = '\0';
  Fpath[FILE_TEXT_LEN - 1] = '\0';
  Fnode[FILE_TEXT_LEN - 1] = '\0';
  return true;
}

// Whether `name` opens as something that is not a file that can be read: a
// folder opens on some systems, but reading it fails at once.
bool OpensAsNoFile(const char *name) {
  FILE *file = fopen(name, "rb");
  if (file == nullptr) return false;
  const bool noFile = fgetc(file) == EOF && ferror(file) != 0;
  fclose(file);
  return noFile;
}

// Whether `name` is a file that can be read, which a rename onto it may have
// to remove first.
bool IsReadableFile(const char *name) {
  FILE *file = fopen(name, "rb");
  if (file == nullptr) return false;
  const bool readable = fgetc(file) != EOF || ferror(file) == 0;
  fclose(file);
  return readable;
}

// How putting the written file in place went.
enum class Replaced { Done, Failed, OldRemoved };

// Puts the whole file `from` in place of `to`. Where a rename does not replace
// an existing file, the old file is removed first and the rename tried again.
// Should that second rename fail as well (a short window: another program
// takes the name in between), the old file is gone and the written one is
// the only copy left, under its temporary name.
Replaced ReplaceFile(const char *from, const char *to) {
  if (rename(from, to) == 0) return Replaced::Done;
  if (!IsReadableFile(to) || remove(to) != 0) return Replaced::Failed;
  return rename(from, to) == 0 ? Replaced::Done : Replaced::OldRemoved;
}

} // namespace

void Pop_SaveBuf(HostControl *control, void *instance) {
  (void)control;
  const FilterInstance *inst = static_cast<const FilterInstance *>(instance);
  if (!RequestLayerSet(inst, kExportPattern, kExportTitle)) return;
  // The file is written whole under a temporary name beside the chosen one,
  // and only then put in its place: a full disk leaves a file that was there
  // exactly as it was.
  char temporary[FILE_TEXT_LEN];
  const size_t length = strlen(Fnode);
  if (length + sizeof kTemporarySuffix > sizeof temporary) {
    ShowInfo(kWriteError);
    return;
  }
  if (OpensAsNoFile(Fnode)) { // a folder: no file can be written there
    ShowInfo(kOpenError);
    return;
  }
  memcpy(temporary, Fnode, length);
  memcpy(temporary + length, kTemporarySuffix, sizeof kTemporarySuffix); // with its zero
  // Binary: a layer set ends its lines in LF alone on every platform, so the
  // Windows library writes the very bytes the Linux one does.
  FILE *file = fopen(temporary, "wb");
  if (file == nullptr) {
    ShowInfo(kOpenError);
    return;
  }
  // The whole stack, whichever layer is current.
  const Replaced replaced = LayerSetWrite(file, &inst->entries[inst->curEntry])
                                ? ReplaceFile(temporary, Fnode)
                                : Replaced::Failed;
  if (replaced == Replaced::Done) return;
  // The temporary file goes, unless it is all that is left of the stack.
  if (replaced == Replaced::Failed) remove(temporary);
  ShowInfo(kWriteError);
}

void Pop_LoadBuf(HostControl *control, void *instance) {
  (void)control;
  FilterInstance *inst = static_cast<FilterInstance *>(instance);
  if (!RequestLayerSet(inst, kImportPattern, kImportTitle)) return;
  // Binary, so that every platform reads the same bytes (a Windows text-mode
  // read would end the file at a Ctrl-Z); CR/LF line ends are read as space.
  FILE *file = fopen(Fnode, "rb");
  if (file == nullptr) {
    ShowInfo(kOpenError);
    return;
  }
  // The file's layers are read apart from the stack, so that running out of
  // memory or a damaged file leaves the stack as it was; no more are taken
  // than the instance has room for.
  SBEntry made = {0.0, 0, nullptr};
  const LayerSetStatus status = LayerSetRead(file, LayerRoom(inst), &made);
  fclose(file);
  if (status == LAYER_SET_REFUSED) ShowInfo(kVersionError);
  if (status != LAYER_SET_READ) return;
  SBEntry *entry = &inst->entries[inst->curEntry];
  SpliceOnTop(entry, &made);

  // The selected row now shows whichever layer stands there. The list shows
  // the layers only while the entry is on, and no row means no layer.
  inst->layerCount = entry->on != 0 ? GetLayerNum(entry) : 0;
  inst->curLayer = inst->curLayerNo >= 0 ? GetLayer(entry, inst->curLayerNo) : nullptr;
  CtrlRedraw_L(inst);
  CtrlRedraw(inst);
  PreAns_Redraw(inst);
}
