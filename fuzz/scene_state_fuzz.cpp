// Feeds arbitrary scene-state lines to the filter's load, into an instance
// that already holds entries and layers. Whatever the lines say, load must
// stay inside its buffers, keep the stacks sound and leak nothing. A state it
// refuses leaves the instance saving exactly what it saved before; a state it
// takes must save and load back to the very same lines.
//
// Input: the first byte picks the starting instance and how the host's load
// record behaves once the lines run out; the remaining bytes are the stored
// lines, split at '\n'. The record hands out only the lines there are, so a
// header that announces more is met by the end of the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/instance_checks.h"
#include "layers.h"
#include "module.h"
#include "persist.h"

namespace {

// ---------------------------------------------------------------------------
// The host side: a message service that counts what load tells the user.

int messagesShown = 0;

void CountMessage(const char *, const char *) { ++messagesShown; }

void *Lookup(const char *name, int) {
  static HostMessageFuncs messages{CountMessage, CountMessage, CountMessage};
  return std::strcmp(name, HOST_MESSAGE_FUNCS) == 0 ? &messages : nullptr;
}

// The load record. Past the last line it either reports the end (-1 and the
// empty text, as the host interface has it) or, like a careless host, keeps
// handing out empty lines.
struct Reader {
  const std::vector<std::string> *lines;
  bool endless;
  size_t next = 0;
  long reads = 0;
};

int Read(void *data, char *buffer, int capacity) {
  Reader *in = static_cast<Reader *>(data);
  ++in->reads;
  if (capacity <= 0) return -1;
  if (in->next >= in->lines->size()) {
    buffer[0] = '\0';
    return in->endless ? 0 : -1;
  }
  const std::string &line = (*in->lines)[in->next++];
  const size_t n = std::min(line.size(), static_cast<size_t>(capacity - 1));
  line.copy(buffer, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

[[noreturn]] void Fail(const std::string &what, const std::vector<std::string> &lines) {
  std::fprintf(stderr, "scene_state: %s\n  input lines (%zu):\n", what.c_str(), lines.size());
  for (size_t i = 0; i < lines.size() && i < 12; ++i)
    std::fprintf(stderr, "    [%zu] \"%s\"\n", i, lines[i].c_str());
  std::abort();
}

// ---------------------------------------------------------------------------
// Starting instances

// An instance without entries, as a scene without special-buffer values
// makes it.
FilterInstance *Create() {
  return static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
}

// Gives the instance `count` entries, switched off and empty.
bool GiveEntries(FilterInstance *inst, int32_t count) {
  inst->entries = static_cast<SBEntry *>(calloc(static_cast<size_t>(count), sizeof(SBEntry)));
  if (inst->entries == nullptr) return false;
  inst->entryCount = count;
  return true;
}

// Stacks `count` layers on an entry, each tagged by its red byte.
bool Stack(SBEntry *entry, int count, int tag) {
  for (int i = 0; i < count; ++i) {
    Layer *layer = AddLayer(entry, 0);
    if (layer == nullptr) return false;
    layer->color[0] = static_cast<uint8_t>(tag + i);
  }
  return true;
}

// A valid state of two entries and three layers, loaded as a host restores a
// scene.
const std::vector<std::string> kTwoEntries = {
    "-3 2 3",
    "1.000000 2 ",
    "0 1 10 20 30 50.000000 3 7 1 10 25.500000 0",
    "1 0 255 0 128 100.000000 0 0 0 0 100.000000 0",
    "2.500000 1 ",
    "0 1 40 255 255 12.125000 9 11 0 12 100.000000 1",
};

FilterInstance *StartingInstance(unsigned variant) {
  FilterInstance *inst = Create();
  if (inst == nullptr) return nullptr;
  bool made = true;
  switch (variant) {
  case 0: // no entries at all
    break;
  case 1: // a scene restored from a valid state
    made = checks::LoadLines(inst, kTwoEntries) == nullptr && inst->entryCount == 2;
    break;
  case 2: // entries the panel left: on with layers, off with layers, on and empty
    made = GiveEntries(inst, 3);
    if (made) {
      inst->entries[0].value = 1.0;
      inst->entries[0].on = 1;
      inst->entries[1].value = 2.0;
      inst->entries[2].value = 3.0;
      inst->entries[2].on = 1;
      made = Stack(&inst->entries[0], 2, 10) && Stack(&inst->entries[1], 3, 20);
    }
    break;
  default: // values that need more than six decimals, odd layer fields
    made = GiveEntries(inst, 4);
    if (made) {
      const double values[4] = {0.1, -2.0000001, 1e-7, 123456789.125};
      for (int i = 0; i < 4; ++i) {
        inst->entries[i].value = values[i];
        inst->entries[i].on = 1;
        made = made && Stack(&inst->entries[i], i + 1, 40 * i);
      }
      if (made) {
        Layer *odd = inst->entries[3].head;
        odd->intensity = 1e300;
        odd->alphaIntensity = -0.0;
        odd->mode = 99;
        odd->inBuffer = -5;
        odd->alphaBuffer = 4000;
        odd->type = 7;
      }
    }
    break;
  }
  if (!made) {
    QXDestroy(inst);
    return nullptr;
  }
  // The entries were set here by hand: the evaluation is made ready for
  // them as a load or a closing panel would.
  PrepareEvaluation(inst);
  return inst;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const unsigned selector = size > 0 ? data[0] : 0;
  std::vector<std::string> lines(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == '\n')
      lines.emplace_back();
    else
      lines.back().push_back(static_cast<char>(data[i]));
  }

  // Module-wide state that create, load and the starting instances touch.
  global_func = Lookup;
  Bcount = 0;

  FilterInstance *inst = StartingInstance(selector & 3u);
  if (inst == nullptr) return 0; // no memory for the starting instance
  std::string fault = checks::StackLinks(inst);
  if (!fault.empty()) Fail("the starting instance: " + fault, lines);
  const std::vector<std::string> before = checks::SaveLines(inst);
  const SBEntry *entriesBefore = inst->entries;
  const int32_t countBefore = inst->entryCount;

  messagesShown = 0;
  Reader reader{&lines, (selector & 4u) != 0};
  HostLoadState load{&reader, Read};
  const char *error = QXLoad(inst, &load);
  // Load reads the header, then at most the lines the caps allow.
  if (reader.reads > 1 + SCENE_MAX_ENTRIES + SCENE_MAX_LAYERS)
    Fail("load read " + std::to_string(reader.reads) + " lines", lines);

  fault = checks::StackLinks(inst);
  if (!fault.empty()) Fail("after load: " + fault, lines);
  // Whatever was loaded or refused, the evaluation's table gives what a
  // walk of the entries gives.
  fault = checks::EvaluationAgreesWithTheWalk(inst);
  if (!fault.empty()) Fail("after load: " + fault, lines);

  const bool refused = error != nullptr || messagesShown > 0;
  if (refused) {
    if (inst->entries != entriesBefore || inst->entryCount != countBefore)
      Fail("a refused state replaced the entries", lines);
    if (checks::SaveLines(inst) != before)
      Fail("a refused state changed what the instance saves", lines);
  } else {
    for (int32_t e = 0; e < inst->entryCount; ++e)
      if (inst->entries[e].on != 1) Fail("a loaded entry is not switched on", lines);
    if (Bcount != inst->entryCount) Fail("Bcount is not the loaded entry count", lines);
    fault = checks::SaveLoadRoundTrip(inst);
    if (!fault.empty()) Fail("after an accepted load: " + fault, lines);
  }

  QXDestroy(inst);
  global_func = nullptr;
  return 0;
}
