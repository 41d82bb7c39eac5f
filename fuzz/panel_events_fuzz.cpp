// Plays arbitrary event sequences on the options panel, as a host delivers
// them, and checks the instance after every event.
//
// Each input builds an instance on a small scene through the stand-in host
// (surfaces, messages, colour picker, file requester and headless panels),
// optionally loads a stored state into it, and opens the panel. While the
// blocking open runs, the input's events are played one by one: a control
// event sets the control's value the way the host does and calls the handler
// the module gave the control, whatever the control's drawn state, so that
// the handlers' own `ctlOn` tests are what keeps a ghosted control from
// acting. After every event the instance must hold its invariants (see
// CheckAll: sound stack links, the selection, the control states against the
// control-state table and as drawn, the drawing inside the preview area, and
// an event to a ghosted control whose handler tests its flag changes nothing);
// every kRoundTripEvery events, at the last event of an opening and after
// each closing, its saved state must also load back to the same lines. A
// violation aborts with the event's number, what it was and the fault. At the
// end the panel is closed and the instance destroyed; nothing may stay
// allocated.
//
// Input encoding (all numbers little endian; an input that runs out of bytes
// simply ends, and a missing operand reads as 0):
//
//   byte 0   scene, bits 0..6: 0 values 1 2 1 3 (1 carried twice), 1 values 0.5 0.5 0.25
//            plus a surface without the value and one without a base colour,
//            2 one surface of value 7, 3 no surfaces, 4 NaN 0 -0 NaN 1e300,
//            5 twelve values 0..11 (taken modulo 6); bit 7 set: the host
//            makes the preview area, so that the preview is drawn, and at
//            most kMaxPreviewEvents events are played; clear: the host makes
//            no preview area, nothing is drawn and an event to control 26 is
//            not delivered (see the note on speed below)
//   byte 1   stored state loaded before the first opening: 0 none, 1 entries
//            1 (two layers) and 3 (one layer), 2 values 9 (absent from every
//            scene) and 2, 3 value 1 stored twice, 4 a damaged state (load
//            refuses it), 5 out-of-range type, mode and buffer numbers, 6 an
//            entry with no layers, 7 a NaN value (taken modulo 8)
//   then events, at most kMaxEvents (kMaxPreviewEvents) in all openings,
//   each an opcode byte OP taken modulo 32:
//
//   OP 0..27  an event to control OP (the numbers of panel.h). Its value:
//             list, check box, button, popup, area: an integer I;
//             "Intensity", "AlphaIntensity": a percent P;
//             the colour swatch: three swatch integers S S S, then the
//             pointer's x as one signed byte.
//   OP 28     colour picker answer, one byte A (modulo 4): 0 accept, followed
//             by three channels C C C; 1 cancel; 2 the picker is withdrawn;
//             3 the picker fails (returns a non-zero status).
//   OP 29     file requester answer, one byte A (modulo 10): 0 layer-set file
//             slot K (one byte, modulo 4); 1 a file that does not exist (an
//             export creates it); 2 cancel; 3 the requester is withdrawn;
//             4 "Directory Info" is withdrawn; 5 the messages are withdrawn;
//             6 a file in a directory that does not exist; 7 every service
//             is provided again; 8 the files' folder itself; 9 slot K (one
//             byte) by its bare name, which the requester takes from the
//             folder the request starts in.
//   OP 30     writes layer-set slot K (one byte, modulo 4) from a mode byte M:
//             M % 4 == 1: raw, a length byte L and L bytes of text;
//             M % 4 == 2: the slot's file is removed;
//             otherwise built: header (M >> 2) % 4 (0 the usual word, 1 another
//             word, 2 no word, 3 a 150-character word), a tag byte (0 gives
//             -3, else the signed byte), a count (signed byte, see below),
//             then a byte N:
//             N % 16 layer lines of 12 signed bytes each, the last line cut
//             short by (N >> 4) % 8 numbers.
//   OP 31     misc, one byte A (modulo 8): 0 the host redraws the panel;
//             1 the host reads every row of the three lists; 2 the user closes
//             the panel (a later byte reopens it, at most kMaxOpenings times);
//             3 the next opening sees scene B (one byte, modulo 6); 4 the
//             host copies the instance (QXCopy) into a fresh one and checks
//             it; 5 the pointer's x over the swatch (one signed byte); 6 the
//             instance loads stored state B (one byte, as byte 1) before the
//             next opening; 7 the host makes another instance now, loads
//             stored state B (one byte) into it and destroys it: the open
//             panel's buffer-list rows and requester texts must not change.
//
//   I  one byte: 0x80 then 8 bytes of a 64-bit integer; 0x81 then 4 bytes of
//      a 32-bit integer; otherwise the byte as a signed number (ff is -1).
//   P  one byte: 0x80 then the 8 bytes of a double (NaN included); 0x81 then
//      an index into kSpecialPercents; otherwise the byte as a signed number.
//   S  one byte: 0x80 then 4 bytes of a 32-bit integer; otherwise 0..255.
//   C  one byte: 0x80 then the 4 bytes of a float; otherwise the byte / 255.
//
// The layer-set files live in a folder of this process's own and are removed
// at the start of every input. Inputs that draw the preview keep their stacks
// shallow, so that the preview's per-pixel work does not stall them: Import is
// not delivered while the selected entry already holds kMaxImportStack
// layers, a built file's count above kMaxFileLayers is taken modulo
// kMaxFileLayers + 1, and a raw file announcing more is emptied. Inputs that
// do not draw it may reach the most layers an instance holds: a built file's
// count byte 127 announces SCENE_MAX_LAYERS layers, 126 one more, 125 half as
// many, 124 one fewer, and Import is always delivered. While the instance holds more than
// kDeepInstance layers, the round trip is made only at the last event of an
// opening and after each closing.
//
// Speed: the preview is drawn pixel by pixel, a ball of some 3000 pixels
// through the blend modes, on most events; with the fuzzer's instrumentation
// that takes about a millisecond a ball, some 95 % of an event's time. Only
// inputs with bit 7 of byte 0 set draw it, and play at most kMaxPreviewEvents
// events; the others play their events some fifty times faster. Without the
// drawing, formatting and parsing the numbers of the saved state is the
// largest cost, hence the round trip only every few events.
//
// The preview draws pixel by pixel. The panel's drawing operations are taken
// over by checked ones (every pixel and box inside the preview area, every
// channel 0..255) that do not paint the host's canvas; set QX_FUZZ_HOST_CANVAS
// in the environment to paint it as well. QX_FUZZ_TRACE in the environment
// prints every event as it is played, with the selection it leaves.
#include <float.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/control_names.h"
#include "common/instance_checks.h"
#include "effect.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"
#include "preview.h"
#include "stand_in_host.h"

namespace {

constexpr int kMaxEvents = 192;
constexpr int kMaxPreviewEvents = 32;
constexpr int kRoundTripEvery = 4;
constexpr int kMaxOpenings = 4;
constexpr int32_t kMaxImportStack = 32;
constexpr int kMaxFileLayers = 48;
constexpr int32_t kDeepInstance = 4096;
constexpr int kSlots = 4;

const double kSpecialPercents[] = {
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    1e300,
    -1e300,
    DBL_MAX,
    DBL_MIN,
    -0.0,
    0.5,
    99.999999,
    100.0000001,
    1e15,
};

using checks::kControlNames;

// ---------------------------------------------------------------------------
// Input

class Input {
public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return next_ >= size_; }
  uint8_t byte() { return next_ < size_ ? data_[next_++] : 0; }
  template <class T> T raw() {
    uint8_t bytes[sizeof(T)] = {};
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = byte();
    T value;
    memcpy(&value, bytes, sizeof value);
    return value;
  }
  intptr_t integer() {
    const uint8_t b = byte();
    if (b == 0x80) return static_cast<intptr_t>(raw<int64_t>());
    if (b == 0x81) return raw<int32_t>();
    return static_cast<int8_t>(b);
  }
  double percent() {
    const uint8_t b = byte();
    if (b == 0x80) return raw<double>();
    if (b == 0x81) {
      const size_t n = sizeof kSpecialPercents / sizeof kSpecialPercents[0];
      return kSpecialPercents[byte() % n];
    }
    return static_cast<int8_t>(b);
  }
  int swatch() {
    const uint8_t b = byte();
    if (b == 0x80) return raw<int32_t>();
    return b;
  }
  float channel() {
    const uint8_t b = byte();
    if (b == 0x80) return raw<float>();
    return static_cast<float>(b) / 255.0f;
  }
  int signedByte() { return static_cast<int8_t>(byte()); }

private:
  const uint8_t *data_;
  size_t size_;
  size_t next_ = 0;
};

// ---------------------------------------------------------------------------
// Scenes and stored states

qx::SceneSurface Surface(const std::string &name, std::optional<double> value,
                         std::optional<std::array<double, 3>> color) {
  qx::SceneSurface s;
  s.name = name;
  s.specialBuffer = value;
  s.baseColor = color;
  return s;
}

constexpr int kScenes = 6;

qx::Scene SceneNumber(int number) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  qx::Scene scene;
  auto &s = scene.surfaces;
  switch (number % kScenes) {
  case 0:
    s.push_back(Surface("Red", 1.0, std::array<double, 3>{0.75, 0.125, 0.25}));
    s.push_back(Surface("Blue", 2.0, std::array<double, 3>{0.0, 0.25, 1.0}));
    s.push_back(Surface("Crimson", 1.0, std::array<double, 3>{0.5, 0.0, 0.0625}));
    s.push_back(Surface("Grey", 3.0, std::array<double, 3>{0.5, 0.5, 0.5}));
    break;
  case 1:
    s.push_back(Surface("Half", 0.5, std::array<double, 3>{1.5, -0.5, 0.5}));
    s.push_back(Surface("Plain", std::nullopt, std::array<double, 3>{0.1, 0.2, 0.3}));
    s.push_back(Surface("HalfToo", 0.5, std::nullopt));
    s.push_back(Surface("Quarter", 0.25, std::array<double, 3>{0.0, 0.0, 0.0}));
    break;
  case 2:
    s.push_back(Surface("Only", 7.0, std::array<double, 3>{0.2, 0.9, 0.4}));
    break;
  case 3:
    break;
  case 4:
    s.push_back(Surface("NaN", nan, std::array<double, 3>{nan, 0.5, 0.5}));
    s.push_back(Surface("Zero", 0.0, std::array<double, 3>{1.0, 1.0, 1.0}));
    s.push_back(Surface("MinusZero", -0.0, std::array<double, 3>{0.3, 0.3, 0.3}));
    s.push_back(Surface("NaNToo", nan, std::nullopt));
    s.push_back(Surface("Huge", 1e300, std::array<double, 3>{1e300, -1e300, 0.5}));
    break;
  default:
    for (int i = 0; i < 12; ++i)
      s.push_back(Surface("S" + std::to_string(i), i,
                          std::array<double, 3>{i / 11.0, 1.0 - i / 11.0, 0.5}));
    break;
  }
  return scene;
}

constexpr int kStates = 8;

std::vector<std::string> StateNumber(int number) {
  switch (number % kStates) {
  case 1:
    return {"-3 2 3",
            "1.000000 2 ",
            "0 1 255 0 0 50.000000 1 3 0 0 100.000000 0",
            "1 0 0 255 0 100.000000 4 10 1 2 25.000000 1",
            "3.000000 1 ",
            "0 1 10 20 30 75.000000 0 0 0 0 100.000000 0"};
  case 2:
    return {"-3 2 2", "9.000000 1 ", "0 1 1 2 3 10.000000 2 1 0 1 50.000000 0", "2.000000 1 ",
            "1 1 4 5 6 20.000000 3 4 1 5 60.000000 1"};
  case 3:
    return {"-3 2 3",
            "1.000000 1 ",
            "0 1 100 100 100 30.000000 5 2 0 3 40.000000 0",
            "1.000000 2 ",
            "0 0 1 1 1 1.000000 6 6 0 6 6.000000 1",
            "1 1 2 2 2 2.000000 7 7 1 7 7.000000 0"};
  case 4:
    return {"-3 1 5", "1.000000 1 ", "0 1 2 3"};
  case 5:
    return {"-3 1 2", "2.000000 2 ", "5 3 1 2 3 -40.000000 42 -3 7 99 250.000000 -2",
            "-1 -7 9 9 9 1e300 -1 13 0 12 -0.5 1"};
  case 6:
    return {"-3 2 1", "2.000000 0 ", "3.000000 1 ", "0 0 0 0 0 0.000000 9 12 0 12 0.000000 0"};
  case 7:
    return {"-3 2 2", "nan 1 ", "0 1 9 9 9 9.000000 1 1 0 1 9.000000 0", "1.000000 1 ",
            "1 1 8 8 8 8.000000 8 8 0 8 8.000000 0"};
  default:
    return {};
  }
}

// ---------------------------------------------------------------------------
// Layer-set files

// Whether the host makes the preview area, so that the preview is drawn.
bool g_previewArea = false;

const char *TempFolder() {
  static std::string folder;
  if (folder.empty()) {
    char pattern[] = "/tmp/qx_panel_events.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      perror("panel_events: mkdtemp");
      abort();
    }
    folder = pattern;
    atexit([] {
      for (int k = 0; k < kSlots; ++k)
        remove((folder + "/slot" + std::to_string(k) + ".QXD").c_str());
      remove((folder + "/missing.QXD").c_str());
      rmdir(folder.c_str());
    });
  }
  return folder.c_str();
}

std::string SlotPath(int k) {
  return std::string(TempFolder()) + "/slot" + std::to_string(k) + ".QXD";
}
std::string MissingPath() { return std::string(TempFolder()) + "/missing.QXD"; }
std::string NoFolderPath() { return std::string(TempFolder()) + "/no-such-folder/set.QXD"; }

void RemoveFiles() {
  for (int k = 0; k < kSlots; ++k) remove(SlotPath(k).c_str());
  remove(MissingPath().c_str());
}

void WriteText(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    perror("panel_events: a layer-set file cannot be written");
    abort();
  }
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
}

// The layer count a file announces, read as import reads it; 0 when it
// announces none.
int AnnouncedCount(const std::string &path) {
  FILE *file = fopen(path.c_str(), "rt");
  if (file == nullptr) return 0;
  char word[80] = "";
  if (fscanf(file, "%79s", word) == 1) (void)fscanf(file, "%*[^ \t\n\v\f\r]");
  int tag = 0, count = 0;
  if (fscanf(file, "%d %d", &tag, &count) < 2) count = 0;
  fclose(file);
  return count;
}

void WriteLayerSet(Input &in) {
  const int slot = in.byte() % kSlots;
  const std::string path = SlotPath(slot);
  const uint8_t mode = in.byte();
  if (mode % 4 == 2) {
    remove(path.c_str());
    return;
  }
  if (mode % 4 == 1) {
    const int length = in.byte();
    std::string text;
    for (int i = 0; i < length && !in.empty(); ++i) text.push_back(static_cast<char>(in.byte()));
    WriteText(path, text);
    if (g_previewArea && AnnouncedCount(path) > kMaxFileLayers) WriteText(path, "");
    return;
  }
  std::string text;
  switch ((mode >> 2) % 4) {
  case 0:
    text = "Quintessalux_LayerSet_Ver.1.9\n";
    break;
  case 1:
    text = "Other\n";
    break;
  case 2:
    break;
  default:
    text = std::string(150, 'W') + "\n";
    break;
  }
  const uint8_t tag = in.byte();
  int count = in.signedByte();
  if (!g_previewArea && count >= 124) {
    const int deep[] = {SCENE_MAX_LAYERS - 1, SCENE_MAX_LAYERS / 2, SCENE_MAX_LAYERS + 1,
                        SCENE_MAX_LAYERS};
    count = deep[count - 124];
  } else if (count > kMaxFileLayers)
    count %= kMaxFileLayers + 1;
  text += std::to_string(tag == 0 ? static_cast<int>(SCENE_VERSION) : static_cast<int8_t>(tag)) +
          " " + std::to_string(count) + "\n";
  const uint8_t shape = in.byte();
  const int lines = shape % 16;
  const int cut = lines > 0 ? (shape >> 4) % 8 : 0;
  for (int line = 0; line < lines; ++line) {
    const int numbers = line == lines - 1 ? 12 - cut : 12;
    for (int i = 0; i < numbers; ++i) text += std::to_string(in.signedByte()) + (i < 11 ? " " : "");
    text += "\n";
  }
  WriteText(path, text);
}

// ---------------------------------------------------------------------------
// Checked drawing

// The panel's drawing operations as the module reaches them: each pixel and
// box must lie inside the preview area's drawing region, with channels
// 0..255. The host's canvas is painted as well only when asked for. These run
// for every pixel of the preview, so they stay out of the fuzzer's coverage
// and find the preview area only when the panel changes.
#if defined(__clang__)
#define QX_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define QX_NO_COVERAGE
#endif

struct DrawCheck {
  qx::Host *host = nullptr;
  const HostDrawFuncs *hostDraw = nullptr;
  bool paint = false;
  long pixels = 0, boxes = 0;
  std::string fault;
  // The preview area's drawing region on the panel `located`.
  HostPanelID located = nullptr;
  int x0 = 0, y0 = 0;
};
DrawCheck *g_draw = nullptr;

void Note(const std::string &fault) {
  if (g_draw->fault.empty()) g_draw->fault = fault;
}

// Finds the preview area of the panel drawn on; false when the panel is not
// the open one or has no preview area.
bool Locate(HostPanelID id) {
  qx::Panel *panel = g_draw->host->panels().lastPanel();
  if (panel == nullptr || panel->id() != id) {
    Note("drawing on a panel that is not open");
    return false;
  }
  for (size_t i = 0; i < panel->controlCount(); ++i) {
    const qx::PanelControl &area = panel->control(i);
    if (area.kind() != qx::ControlKind::Area) continue;
    g_draw->located = id;
    g_draw->x0 = area.originX();
    g_draw->y0 = area.originY();
    return true;
  }
  Note("drawing on a panel without a preview area");
  return false;
}

QX_NO_COVERAGE void CheckDrawing(HostPanelID panel, int red, int green, int blue, int x, int y,
                                 int width, int height) {
  DrawCheck &d = *g_draw;
  if (panel != d.located && !Locate(panel)) return;
  if (x < d.x0 || y < d.y0 || width < 0 || height < 0 || x + width > d.x0 + PREVIEW_AREA_W ||
      y + height > d.y0 + PREVIEW_AREA_H)
    Note("drawing at " + std::to_string(x) + "," + std::to_string(y) + " size " +
         std::to_string(width) + "x" + std::to_string(height) + " outside the preview area");
  if (((red | green | blue) & ~0xFF) != 0)
    Note("a colour " + std::to_string(red) + " " + std::to_string(green) + " " +
         std::to_string(blue) + " drawn");
}

QX_NO_COVERAGE void CheckedPixel(HostPanelID panel, int red, int green, int blue, int x, int y) {
  ++g_draw->pixels;
  CheckDrawing(panel, red, green, blue, x, y, 1, 1);
  if (g_draw->paint) g_draw->hostDraw->drawRGBPixel(panel, red, green, blue, x, y);
}

QX_NO_COVERAGE void CheckedBox(HostPanelID panel, int red, int green, int blue, int x, int y,
                               int width, int height) {
  ++g_draw->boxes;
  CheckDrawing(panel, red, green, blue, x, y, width, height);
  if (g_draw->paint) g_draw->hostDraw->drawRGBBox(panel, red, green, blue, x, y, width, height);
}

// The panel services' addControl, which makes every control but the preview
// area when the input asks for a host without one.
HostPanelFuncs *g_hostPanelFuncs = nullptr;

HostControl *AddControl(HostPanelID panel, const char *kind, HostCtlDesc *desc, const char *label) {
  if (!g_previewArea && strcmp(kind, HOST_KIND_AREA) == 0) return nullptr;
  return g_hostPanelFuncs->addControl(panel, kind, desc, label);
}

// A colour picker whose call fails; it scribbles on the request first.
int FailingPicker(int version, HostColorPickRequest *request) {
  (void)version;
  request->result = 1;
  request->red = request->green = request->blue = 12345.0f;
  return -1;
}

// ---------------------------------------------------------------------------
// The session

// Module-wide values a fresh instance sets while no panel is open (a new
// instance's requester starts afresh); the check after a closing puts them
// back, so that checking never changes what the next opening sees. While the
// panel is open the module itself keeps them.
struct ModuleGlobals {
  int32_t bcount = Bcount;
  std::string fnode = Fnode, fpath = Fpath, fname = Fname;
  ~ModuleGlobals() {
    Bcount = bcount;
    snprintf(Fnode, sizeof Fnode, "%s", fnode.c_str());
    snprintf(Fpath, sizeof Fpath, "%s", fpath.c_str());
    snprintf(Fname, sizeof Fname, "%s", fname.c_str());
  }
};

class Session {
public:
  Session(qx::Host &host, FilterInstance *inst, Input &in) : host_(host), inst_(inst), in_(in) {
    draw_.host = &host;
    draw_.hostDraw = host.panels().record()->drawFuncs;
    draw_.paint = getenv("QX_FUZZ_HOST_CANVAS") != nullptr;
    checkedDraw_ = *draw_.hostDraw;
    checkedDraw_.drawRGBPixel = CheckedPixel;
    checkedDraw_.drawRGBBox = CheckedBox;
    panelFuncs_ = *host.panels().record();
    panelFuncs_.drawFuncs = &checkedDraw_;
    panelFuncs_.addControl = AddControl;
    g_hostPanelFuncs = host.panels().record();
    g_draw = &draw_;
    host.files().setContentDirectory(TempFolder());
    host.panels().setOpenHandler([this](qx::Panel &panel) { Play(panel); });
    ProvideAll();
  }
  ~Session() {
    g_draw = nullptr;
    g_hostPanelFuncs = nullptr;
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Opens the panel until the input or the events run out.
  void Run() {
    for (int opening = 0; opening < kMaxOpenings; ++opening) {
      if (opening > 0 && (in_.empty() || events_ >= MaxEvents())) break;
      if (pendingScene_ >= 0) host_.setScene(SceneNumber(pendingScene_));
      pendingScene_ = -1;
      if (pendingState_ >= 0) (void)checks::LoadLines(inst_, StateNumber(pendingState_));
      pendingState_ = -1;
      draw_.located = nullptr; // a new panel may stand where the last one stood
      what_ = "opening " + std::to_string(opening);
      const char *error = QXOptions(inst_);
      if (error != nullptr) Fail(std::string("the panel did not open: ") + error);
      // Closed: the stacks must still be sound and save as they load.
      std::string fault = checks::StackLinks(inst_);
      if (fault.empty()) {
        ModuleGlobals keep;
        fault = RoundTrip();
      }
      if (!fault.empty()) Fail("after closing: " + fault);
    }
  }

private:
  [[noreturn]] void Fail(const std::string &fault) {
    fprintf(stderr, "panel_events: event %d (%s): %s\n", events_, what_.c_str(), fault.c_str());
    abort();
  }

  void ProvideAll() {
    host_.provide(HOST_PANEL_SERVICES, &panelFuncs_);
    host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(host_.picker().function()));
    host_.provide(HOST_FILE_REQUEST, reinterpret_cast<void *>(host_.files().requestFunction()));
    host_.provide(HOST_DIRECTORY_INFO, reinterpret_cast<void *>(host_.files().directoryFunction()));
    host_.provide(HOST_MESSAGE_FUNCS, const_cast<HostMessageFuncs *>(host_.messages().record()));
  }

  std::string RoundTrip() { return checks::SaveLoadRoundTrip(inst_); }

  // Whether the instance holds few enough layers for a round trip every few
  // events.
  bool Shallow() const {
    int32_t total = 0;
    for (int32_t e = 0; e < inst_->entryCount; ++e)
      for (const Layer *l = inst_->entries[e].head; l != nullptr; l = l->next)
        if (++total > kDeepInstance) return false;
    return true;
  }

  // While the panel is open, the buffer list's row count is the instance's.
  std::string ModuleValues() const {
    if (Bcount != inst_->entryCount)
      return "Bcount " + std::to_string(Bcount) + " while the open instance has " +
             std::to_string(inst_->entryCount) + " entries";
    return "";
  }

  int MaxEvents() const { return g_previewArea ? kMaxPreviewEvents : kMaxEvents; }

  // The host's control behind the module's control `number`; null when the
  // host did not make it.
  qx::PanelControl *Control(int number) { return qx::PanelControl::from(inst_->ctl[number]); }

  // Every live control is drawn live and every other one is not.
  std::string DrawnStates() {
    for (int n = CTL_ACTIVE; n <= CTL_ALPHA_INVERT; ++n) {
      if (n == CTL_LAYER_LIST) continue;
      const qx::ControlState state = Control(n)->state();
      if ((state == qx::ControlState::Live) != (inst_->ctlOn[n] != 0))
        return std::string("control ") + std::to_string(n) + " has ctlOn " +
               std::to_string(inst_->ctlOn[n]) + " but is drawn " + qx::controlStateName(state);
    }
    return "";
  }

  void CheckAll(bool roundTrip) {
    std::string fault = checks::Panel(inst_);
    if (fault.empty()) fault = ModuleValues();
    if (fault.empty()) fault = DrawnStates();
    if (fault.empty()) fault = draw_.fault;
    if (fault.empty() && roundTrip) fault = RoundTrip();
    if (!fault.empty()) Fail(fault);
  }

  void Play(qx::Panel &panel) {
    what_ = "open";
    for (int n = 0; n < CTL_COUNT; ++n) {
      const bool made = g_previewArea || n != CTL_PREVIEW_AREA;
      qx::PanelControl *control = Control(n);
      if ((control != nullptr) != made || (control != nullptr && &control->panel() != &panel))
        Fail("the module does not hold the control " + std::to_string(n) + " the host made");
    }
    CheckAll(true);
    while (!in_.empty() && events_ < MaxEvents()) {
      const bool close = Event(panel);
      const bool last = close || in_.empty() || events_ + 1 >= MaxEvents();
      CheckAll(last || ((events_ + 1) % kRoundTripEvery == 0 && Shallow()));
      if (trace_) Trace();
      ++events_;
      if (close) return;
    }
  }

  // Plays one event; true when it closes the panel.
  bool Event(qx::Panel &panel) {
    const int op = in_.byte() % 32;
    if (op < CTL_COUNT) {
      ControlEvent(op);
      return false;
    }
    switch (op) {
    case 28:
      PickerAnswer();
      return false;
    case 29:
      RequesterAnswer();
      return false;
    case 30:
      what_ = "layer-set file";
      WriteLayerSet(in_);
      return false;
    default:
      return Misc(panel);
    }
  }

  void ControlEvent(int number) {
    what_ = std::string("control ") + std::to_string(number) + " \"" + kControlNames[number] + "\"";
    qx::PanelControl *made = Control(number);
    if (made == nullptr) { // a host without the control delivers nothing to it
      what_ += " (not made)";
      return;
    }
    qx::PanelControl &control = *made;
    switch (control.kind()) {
    case qx::ControlKind::Percent: {
      const double value = in_.percent();
      char text[64];
      snprintf(text, sizeof text, " value %.17g", value);
      what_ += text;
      control.setFloat(value);
      break;
    }
    case qx::ControlKind::MiniRgb: {
      const int red = in_.swatch(), green = in_.swatch(), blue = in_.swatch();
      const int x = in_.signedByte();
      what_ += " value " + std::to_string(red) + " " + std::to_string(green) + " " +
               std::to_string(blue) + " pointer " + std::to_string(x);
      control.setRgb(red, green, blue);
      control.setPointerX(x);
      break;
    }
    default: {
      const intptr_t value = in_.integer();
      what_ += " value " + std::to_string(value);
      control.setInt(value);
      break;
    }
    }
    if (number == CTL_IMPORT) {
      const SBEntry *entry = SelectedEntry(inst_);
      if (g_previewArea && entry != nullptr && GetLayerNum(entry) >= kMaxImportStack) {
        what_ += " (not delivered: the stack is deep enough)";
        return;
      }
    }
    // A ghosted control whose handler tests its flag must change nothing.
    const bool ghosted = Guarded(number) && inst_->ctlOn[number] == 0;
    const std::string before = ghosted ? Snapshot() : std::string();
    control.fire();
    if (ghosted && Snapshot() != before) Fail("the ghosted control acted");
  }

  // Whether a control's handler acts only while its `ctlOn` flag is 1: all
  // but "Active", "Export", "Import", the three lists, the preview area and
  // the preview-type popup.
  static bool Guarded(int number) {
    switch (number) {
    case CTL_BUFFER_LIST:
    case CTL_SURFACE_LIST:
    case CTL_ACTIVE:
    case CTL_EXPORT:
    case CTL_IMPORT:
    case CTL_LAYER_LIST:
    case CTL_PREVIEW_AREA:
    case CTL_PREVIEW_TYPE:
      return false;
    default:
      return true;
    }
  }

  // Everything a handler may change in the instance but the preview's own
  // values: every entry with its switch and every layer's fields in order,
  // the selection, the clipboard and the control flags.
  std::string Snapshot() const {
    std::string out;
    auto put = [&out](const void *data, size_t size) {
      out.append(static_cast<const char *>(data), size);
    };
    put(&inst_->entryCount, sizeof inst_->entryCount);
    for (int32_t e = 0; e < inst_->entryCount; ++e) {
      const SBEntry &entry = inst_->entries[e];
      put(&entry.value, sizeof entry.value);
      put(&entry.on, sizeof entry.on);
      for (const Layer *l = entry.head; l != nullptr; l = l->next) {
        put(&l, sizeof l);
        put(&l->type, sizeof l->type);
        put(&l->active, sizeof l->active);
        put(l->color, sizeof l->color);
        put(&l->intensity, sizeof l->intensity);
        put(&l->mode, sizeof l->mode);
        put(&l->inBuffer, sizeof l->inBuffer);
        put(&l->invert, sizeof l->invert);
        put(&l->alphaBuffer, sizeof l->alphaBuffer);
        put(&l->alphaIntensity, sizeof l->alphaIntensity);
        put(&l->alphaInvert, sizeof l->alphaInvert);
      }
      out += '|';
    }
    put(&inst_->curEntry, sizeof inst_->curEntry);
    put(&inst_->curLayer, sizeof inst_->curLayer);
    put(&inst_->curLayerNo, sizeof inst_->curLayerNo);
    put(&inst_->layerCount, sizeof inst_->layerCount);
    const LayerClip &clip = inst_->clip;
    put(&clip.valid, sizeof clip.valid);
    put(clip.color, sizeof clip.color);
    put(&clip.intensity, sizeof clip.intensity);
    put(&clip.mode, sizeof clip.mode);
    put(&clip.inBuffer, sizeof clip.inBuffer);
    put(&clip.invert, sizeof clip.invert);
    put(&clip.alphaBuffer, sizeof clip.alphaBuffer);
    put(&clip.alphaIntensity, sizeof clip.alphaIntensity);
    put(&clip.alphaInvert, sizeof clip.alphaInvert);
    put(inst_->ctlOn, sizeof inst_->ctlOn);
    return out;
  }

  void PickerAnswer() {
    const int answer = in_.byte() % 4;
    switch (answer) {
    case 0: {
      const float red = in_.channel(), green = in_.channel(), blue = in_.channel();
      char text[128];
      snprintf(text, sizeof text, "picker accepts %.9g %.9g %.9g", red, green, blue);
      what_ = text;
      host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(host_.picker().function()));
      host_.picker().acceptWith(red, green, blue);
      break;
    }
    case 1:
      what_ = "picker cancels";
      host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(host_.picker().function()));
      host_.picker().cancel();
      break;
    case 2:
      what_ = "picker withdrawn";
      host_.withdraw(HOST_COLOR_PICKER);
      break;
    default:
      what_ = "picker fails";
      host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(FailingPicker));
      break;
    }
  }

  void RequesterAnswer() {
    const int answer = in_.byte() % 10;
    switch (answer) {
    case 0: {
      const int slot = in_.byte() % kSlots;
      what_ = "requester chooses slot " + std::to_string(slot);
      host_.files().answerWith(SlotPath(slot));
      break;
    }
    case 1:
      what_ = "requester chooses a missing file";
      host_.files().answerWith(MissingPath());
      break;
    case 2:
      what_ = "requester cancels";
      host_.files().cancel();
      break;
    case 3:
      what_ = "requester withdrawn";
      host_.withdraw(HOST_FILE_REQUEST);
      break;
    case 4:
      what_ = "directory info withdrawn";
      host_.withdraw(HOST_DIRECTORY_INFO);
      break;
    case 5:
      what_ = "messages withdrawn";
      host_.withdraw(HOST_MESSAGE_FUNCS);
      break;
    case 6:
      what_ = "requester chooses a file in a missing folder";
      host_.files().answerWith(NoFolderPath());
      break;
    case 7:
      what_ = "services provided again";
      ProvideAll();
      break;
    case 8:
      what_ = "requester chooses the files' folder";
      // With its closing slash, so that the requester stays in the folder
      // rather than moving up to its parent: every answer keeps the files
      // inside the folder.
      host_.files().answerWith(std::string(TempFolder()) + "/");
      break;
    default: {
      const int slot = in_.byte() % kSlots;
      what_ = "requester chooses slot " + std::to_string(slot) + " by its bare name";
      host_.files().answerWith("slot" + std::to_string(slot) + ".QXD");
      break;
    }
    }
  }

  bool Misc(qx::Panel &panel) {
    const int action = in_.byte() % 8;
    switch (action) {
    case 0:
      what_ = "panel redrawn";
      panel.draw();
      return false;
    case 1:
      what_ = "list rows read";
      for (int n : {CTL_BUFFER_LIST, CTL_SURFACE_LIST, CTL_LAYER_LIST}) {
        qx::PanelControl &list = *Control(n);
        (void)list.rows();
        // A host may also ask for rows just outside the list.
        const int count = list.desc().list.count(list.userData());
        for (int row : {-1, count, count + 1}) {
          const char *text = list.desc().list.name(list.userData(), row);
          if (text == nullptr) Fail("list " + std::to_string(n) + " gave no text for a row");
          (void)strlen(text);
        }
      }
      return false;
    case 2:
      what_ = "panel closed";
      return true;
    case 3:
      pendingScene_ = in_.byte() % kScenes;
      what_ = "next scene " + std::to_string(pendingScene_);
      return false;
    case 4:
      what_ = "instance copied";
      CopyCheck();
      return false;
    case 5: {
      const int x = in_.signedByte();
      what_ = "pointer at " + std::to_string(x);
      Control(CTL_SWATCH)->setPointerX(x);
      return false;
    }
    case 6:
      pendingState_ = in_.byte() % kStates;
      what_ = "next opening after a load of state " + std::to_string(pendingState_);
      return false;
    default: {
      const int state = in_.byte() % kStates;
      what_ = "another instance with state " + std::to_string(state);
      const std::string folder = Fpath, name = Fname, node = Fnode;
      HostInstance other = QXCreate(nullptr, nullptr, nullptr);
      if (other == nullptr) Fail("no other instance");
      const std::vector<std::string> lines = StateNumber(state);
      if (!lines.empty()) (void)checks::LoadLines(other, lines);
      QXDestroy(other);
      if (folder != Fpath || name != Fname || node != Fnode)
        Fail("another instance changed the open panel's requester texts");
      return false;
    }
    }
  }

  // A copy of the instance has sound stacks of its own that save as the
  // original's do.
  void CopyCheck() {
    HostInstance copy = QXCreate(nullptr, nullptr, nullptr);
    if (copy == nullptr) Fail("no instance to copy into");
    if (const char *error = QXCopy(inst_, copy)) Fail(std::string("the copy failed: ") + error);
    const FilterInstance *c = static_cast<const FilterInstance *>(copy);
    std::string fault = checks::StackLinks(c);
    for (int32_t e = 0; fault.empty() && e < c->entryCount && e < inst_->entryCount; ++e)
      for (const Layer *a = inst_->entries[e].head, *b = c->entries[e].head;
           fault.empty() && (a != nullptr || b != nullptr);
           a = a != nullptr ? a->next : nullptr, b = b != nullptr ? b->next : nullptr)
        if (a == b) fault = "the copy shares a layer of entry " + std::to_string(e);
    if (fault.empty() && checks::SaveLines(copy) != checks::SaveLines(inst_))
      fault = "the copy saves other lines than the original";
    QXDestroy(copy);
    if (!fault.empty()) Fail(fault);
  }

  // One line per event on stderr, for writing and reading seeds.
  void Trace() {
    const SBEntry *entry = SelectedEntry(inst_);
    fprintf(stderr, "event %d: %s -> entry %d (%s), %d rows, row %d, messages %zu\n", events_,
            what_.c_str(), inst_->curEntry,
            entry == nullptr ? "none"
            : entry->on != 0 ? "on"
                             : "off",
            inst_->layerCount, inst_->curLayerNo, host_.messages().messages().size());
  }

  qx::Host &host_;
  FilterInstance *inst_;
  const bool trace_ = getenv("QX_FUZZ_TRACE") != nullptr;
  Input &in_;
  DrawCheck draw_;
  HostDrawFuncs checkedDraw_{};
  HostPanelFuncs panelFuncs_{};
  int events_ = 0;
  int pendingScene_ = -1;
  int pendingState_ = -1;
  std::string what_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  const int scene = in.byte();
  g_previewArea = (scene & 0x80) != 0;
  const int state = in.byte();
  RemoveFiles();
  bmx = mmx = mmc = 0;

  qx::Host::Options options;
  options.echoMessages = false;
  qx::Host host(SceneNumber(scene & 0x7F), options);
  global_func = qx::ServiceRegistry::lookupFunction();

  FilterInstance *inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  if (inst == nullptr) {
    fprintf(stderr, "panel_events: no instance\n");
    abort();
  }
  const std::vector<std::string> stored = StateNumber(state);
  if (!stored.empty()) (void)checks::LoadLines(inst, stored);
  {
    Session session(host, inst, in);
    session.Run();
  }
  QXDestroy(inst);
  global_func = nullptr;
  return 0;
}
