// Imports arbitrary bytes as a layer-set file through the options panel's
// "Import" button, as a user would: the stand-in host's headless panel is
// open on an instance whose entries hold layers, its file requester answers
// with a file holding the input, and the event reaches Pop_LoadBuf from the
// control. Whatever the file says, the import must stay inside its buffers,
// either add the announced layers on top of the old ones or change nothing,
// leave the panel's selection and control states consistent, and leave a
// state that saves and loads back to the very same lines.
//
// Input: the whole input is the file. Its first byte, part of the header word
// that import does not examine, also picks the entry (bits 0-1: values 1 to
// 4) and the layer row (bits 2-3: the first, the last, none, one past the
// end) that are selected when "Import" is clicked, and whether the host makes
// the preview area (bits 5 to 7 are 011, as in a lower-case letter). Without
// the preview area, bit 4 makes a deep input: any count is imported, and the
// file is imported up to kDeepImports times, so that the instance can reach
// the most layers a scene state holds; each further import must then be
// refused.
//
// Speed: with the preview area, the host opens the panel as it always does
// (a canvas of the panel's size, the panel drawn) and every pick and the
// import draw the preview, a ball of some 3000 pixels through every layer;
// under the fuzzer's instrumentation that is nearly all of an input's time.
// Without it the module draws nothing, and the host skips the canvas and the
// first drawing as well, going straight to the events: the panel's controls
// are the host's own all the same.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/instance_checks.h"
#include "fuzz_support.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"
#include "stand_in/stand_in_host.h"

namespace {

// Entries by surface order: value 1 is on with two layers, value 2 on with
// three, value 3 off with two, value 4 on without layers.
const int kEntryLayers[] = {2, 3, 2, 0};
const int16_t kEntryOn[] = {1, 1, 0, 1};
const int kEntries = 4;

// Imports that announce more layers than these, but no more than import
// accepts, are passed over, and such a file adds little but time: the checks
// and the layer list walk the stack for every row, and after the import the
// preview applies every layer to every pixel of its ball, about a millisecond
// per layer under the fuzzer's instrumentation. Counts beyond what import
// accepts are still fed to it.
const int kMostLayers = 1024;
const int kMostLayersPreviewed = 16;
const int kDeepImports = 3;

// The most layers of the instance's entries together: the scene's stacks
// above leave room for this many more.
const int kLayersBefore = 2 + 3 + 2 + 0;

// The file of this process; it is removed once each input is done.
const std::string &FilePath() {
  static const std::string path = fuzz::ProcessFile("layer_set", ".QXD");
  return path;
}

// What import must make of the file's start: the header word (white space,
// then anything up to white space, at most 4096 characters), then the
// version tag and the layer count, each white space, a sign and digits, read
// in their full width.
struct Header {
  bool wordEnds = false; // the word ends within its limit
  int got = 0;           // integers read, 0 to 2
  long long tag = 0, count = 0;
};

Header ReadHeader(const uint8_t *data, size_t size) {
  Header h;
  size_t i = 0;
  while (i < size && std::isspace(data[i]) != 0) ++i;
  size_t word = 0;
  while (i < size && std::isspace(data[i]) == 0) ++i, ++word;
  h.wordEnds = word <= 4096;
  long long *numbers[2] = {&h.tag, &h.count};
  for (long long *number : numbers) {
    while (i < size && std::isspace(data[i]) != 0) ++i;
    bool negative = false;
    if (i < size && (data[i] == '+' || data[i] == '-')) negative = data[i++] == '-';
    if (i >= size || std::isdigit(data[i]) == 0) break;
    long long value = 0;
    for (; i < size && std::isdigit(data[i]) != 0; ++i)
      if (value <= (1LL << 40)) value = value * 10 + (data[i] - '0'); // stays too wide once so
    *number = negative ? -value : value;
    ++h.got;
  }
  return h;
}

[[noreturn]] void Fail(const std::string &what, const uint8_t *data, size_t size) {
  fuzz::Fail("layer_set", what, data, size, FilePath(), 200);
}

qx::Scene MakeScene() {
  qx::Scene scene;
  for (int i = 0; i < kEntries; ++i) {
    const double shade = 0.25 * i;
    scene.surfaces.push_back({"Surface" + std::to_string(i + 1), static_cast<double>(i + 1),
                              std::array<double, 3>{shade, 0.5, 1.0 - shade}});
  }
  return scene;
}

// The host's panel services, but for a host that makes no preview area and
// plays the session on a blocking open without drawing anything first.
HostPanelFuncs *hostPanels = nullptr;
const std::function<void(qx::Panel &)> *session = nullptr;

HostControl *AddControlButArea(HostPanelID panel, const char *kind, HostCtlDesc *desc,
                               const char *label) {
  if (std::strcmp(kind, HOST_KIND_AREA) == 0) return nullptr;
  return hostPanels->addControl(panel, kind, desc, label);
}

int OpenWithoutDrawing(HostPanelID panel, int flags) {
  // The host's panel IDs are its panels.
  if ((flags & HOST_PANF_BLOCKING) != 0 && session != nullptr)
    (*session)(*static_cast<qx::Panel *>(panel));
  return 1;
}

// Picks a control made before the preview area, so that its number is its
// place on the panel whether or not the area was made.
void Pick(qx::Panel &panel, int number, intptr_t value) {
  qx::PanelControl &control = panel.control(static_cast<size_t>(number));
  control.setInt(value);
  control.fire();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fuzz::RemoveAtEnd removeAtEnd(FilePath());
  if (!fuzz::WriteBytes(FilePath(), data, size)) {
    std::fprintf(stderr, "layer_set: %s cannot be written\n", FilePath().c_str());
    std::abort();
  }
  const unsigned selector = size > 0 ? data[0] : 0;
  const int entryRow = static_cast<int>(selector & 3u);
  // Row 0, the last row, no row, or a row past the end.
  const int layerPick = static_cast<int>((selector >> 2) & 3u);
  const bool previewArea = (selector & 0xE0u) == 0x60u;
  const bool deep = !previewArea && (selector & 0x10u) != 0;

  // Import refuses a file whose word does not end, without the version tag,
  // or whose count is too wide for an int or would take the instance past
  // the most layers a scene state holds. It may refuse a file whose layer
  // numbers are too wide as well; otherwise it adds the announced layers.
  const Header header = ReadHeader(data, size);
  const long long count = header.got == 2 ? header.count : 0;
  const bool refusedByHeader = !header.wordEnds || header.got < 1 || header.tag != SCENE_VERSION ||
                               count < INT32_MIN || count > INT32_MAX ||
                               kLayersBefore + count > SCENE_MAX_LAYERS;
  if (!refusedByHeader && !deep && count > (previewArea ? kMostLayersPreviewed : kMostLayers))
    return 0;
  const size_t announced = count > 0 ? static_cast<size_t>(count) : 0;

  qx::Host::Options options;
  options.echoMessages = false;
  qx::Host host(MakeScene(), options);
  host.files().answerWith(FilePath());
  HostPanelFuncs panelsButArea = *host.panels().record();
  if (!previewArea) {
    hostPanels = host.panels().record();
    panelsButArea.addControl = AddControlButArea;
    panelsButArea.open = OpenWithoutDrawing;
    host.provide(HOST_PANEL_SERVICES, &panelsButArea);
  }
  // Module-wide state that the instance and the panel depend on.
  global_func = qx::ServiceRegistry::lookupFunction();
  Bcount = Lcount = 0;
  bmx = mmx = mmc = 0;

  FilterInstance *inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  if (inst == nullptr) return 0;
  if (inst->entryCount != kEntries) Fail("the scene did not give four entries", data, size);
  for (int e = 0; e < kEntries; ++e) {
    for (int i = 0; i < kEntryLayers[e]; ++i) {
      Layer *layer = AddLayer(&inst->entries[e], 0);
      if (layer == nullptr) {
        QXDestroy(inst);
        return 0;
      }
      layer->color[0] = static_cast<uint8_t>(10 * e + i);
    }
    inst->entries[e].on = kEntryOn[e];
  }

  bool opened = false;
  const std::function<void(qx::Panel &)> play = [&](qx::Panel &panel) {
    opened = true;
    Pick(panel, CTL_BUFFER_LIST, entryRow);
    // Picking the entry has selected its first layer, if any; pick another
    // row only when asked, since every pick redraws the preview.
    const int rows = inst->layerCount;
    const intptr_t layerRows[] = {0, rows - 1, -1, rows + 1};
    if (layerPick != 0) Pick(panel, CTL_LAYER_LIST, layerRows[layerPick]);
    std::string fault = checks::Panel(inst);
    if (!fault.empty()) Fail("before the import: " + fault, data, size);

    // The old stack, to find it again under the imported layers.
    const SBEntry &entry = inst->entries[entryRow];
    std::vector<const Layer *> old;
    for (const Layer *l = entry.head; l != nullptr; l = l->next) old.push_back(l);
    for (int import = 0; import < (deep ? kDeepImports : 1); ++import) {
      host.messages().clear();
      const bool room = RoomForLayers(inst, static_cast<int32_t>(announced));

      panel.control(CTL_IMPORT).fire();

      fault = checks::Panel(inst);
      if (!fault.empty()) Fail("after the import: " + fault, data, size);
      std::vector<const Layer *> now;
      for (const Layer *l = entry.head; l != nullptr; l = l->next) now.push_back(l);
      const auto messages = host.messages().messages();
      const bool taken = messages.empty();
      if (taken && (refusedByHeader || !room))
        Fail("a file import refuses was taken without a word", data, size);
      if (!taken && messages[0].text != "File version error!")
        Fail("the import said \"" + messages[0].text + "\"", data, size);
      const size_t added = taken ? announced : 0;
      if (now.size() != old.size() + added)
        Fail("the stack went from " + std::to_string(old.size()) + " to " +
                 std::to_string(now.size()) + " layers, " + std::to_string(added) + " announced",
             data, size);
      for (size_t i = 0; i < old.size(); ++i)
        if (now[added + i] != old[i])
          Fail("the old layers do not follow the imported ones in their order", data, size);

      // The lists draw every row, damaged fields and all.
      for (int list : {CTL_BUFFER_LIST, CTL_SURFACE_LIST, CTL_LAYER_LIST})
        (void)panel.control(static_cast<size_t>(list)).rows();

      fault = checks::SaveLoadRoundTrip(inst);
      if (!fault.empty()) Fail("after the import: " + fault, data, size);
      if (!taken || announced == 0) break;
      old = now;
    }
  };
  host.panels().setOpenHandler(play);
  session = &play;
  const char *error = QXOptions(inst);
  if (error != nullptr) Fail(std::string("the panel did not open: ") + error, data, size);
  if (!opened) Fail("the panel never opened", data, size);
  host.panels().rethrowSessionError();
  session = nullptr;

  // Closed, the instance still saves as it loads.
  const std::string fault = checks::SaveLoadRoundTrip(inst);
  if (!fault.empty()) Fail("after closing: " + fault, data, size);
  QXDestroy(inst);
  global_func = nullptr;
  return 0;
}
