// Plays arbitrary panel sessions, decoded from the input's bytes into the
// lines of a `qxhost panel` script, and checks the instance after every
// event.
//
// Each input builds an instance on a small scene through the stand-in host
// (surfaces, messages, colour picker, file requester and headless panels),
// optionally loads a stored state into it, and opens the panel. While the
// blocking open runs, the input is decoded one event at a time into script
// lines, and each line is parsed, bound to the open panel and played by the
// same session player `qxhost panel` uses (qx::PanelSession::play). A control
// event sets the control's value the way the host does and calls the
// handler the module gave the control, whatever the control's drawn state,
// so that the handlers' own `ctlOn` tests are what keeps a ghosted control
// from acting. After every event the instance must hold its invariants (see
// CheckAll: sound stack links, the selection, the control states against the
// control-state table and as drawn, the drawing inside the preview area, and
// an event to a ghosted control whose handler tests its flag changes
// nothing); every kRoundTripEvery events, at the last event of an opening and
// after each closing, its saved state must also load back to the same lines.
// A violation aborts with the event's number, its script lines and the
// fault, then prints the whole session as a script. At the end the panel is
// closed and the instance destroyed; nothing may stay allocated.
//
// The script. With QX_FUZZ_REPRO=DIR in the environment, one input is
// replayed into the folder DIR (made if missing; the files of an earlier
// replay there are replaced): DIR/session.txt (written line by line as the
// events are decoded, so that it survives a crash), DIR/scene.json, the
// layer-set files, the scenes the session reopens on, and DIR/state.txt,
// the lines the instance saves at the end. The session then
// replays with
//   qxhost panel --scene DIR/scene.json --script DIR/session.txt --content-dir DIR
// (with --refuse-control AreaControl when the input makes no preview area).
// Two steps are the fuzzer's own and stay comments in the script: the copy
// check and the other instance (misc 4 and 7 below). Scene 4 holds NaN,
// which a scene file cannot: its scene.json holds null there, and only the
// replay binary plays such an input exactly.
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
//            no preview area (`--refuse-control AreaControl`), nothing is
//            drawn and an event to control 26 is not delivered (see the note
//            on speed below)
//   byte 1   stored state loaded before the first opening: 0 none, 1 entries
//            1 (two layers) and 3 (one layer), 2 values 9 (absent from every
//            scene) and 2, 3 value 1 stored twice, 4 a damaged state (load
//            refuses it), 5 out-of-range type, mode and buffer numbers, 6 an
//            entry with no layers, 7 a NaN value (taken modulo 8)
//   then events, at most kMaxEvents (kMaxPreviewEvents) in all openings,
//   each an opcode byte OP taken modulo 32:
//
//   OP 0..27  an event to control OP (the numbers of panel.h), named in the
//             script by its number on the host's panel. Its value:
//             list (`select`), check box, button, popup, area: an integer I;
//             "Intensity", "AlphaIntensity": a percent P;
//             the colour swatch: three swatch integers S S S, then the
//             pointer's x as one signed byte (`pointer`, then `set`).
//             A value the control's kind cannot take is `force set`; a
//             button or area clicked with the value it holds is `click`.
//   OP 28     colour picker answer, one byte A (modulo 4): 0 accept, followed
//             by three channels C C C (`picker accept`, forced outside 0..1);
//             1 cancel; 2 the picker is withdrawn (`picker none`); 3 the
//             picker fails (`picker fail`).
//   OP 29     file requester answer, one byte A (modulo 10): 0 layer-set file
//             slot K (one byte, modulo 4); 1 a file that does not exist (an
//             export creates it); 2 cancel; 3 the requester is withdrawn;
//             4 "Directory Info" is withdrawn; 5 the messages are withdrawn;
//             6 a file in a directory that does not exist; 7 every service
//             is provided again (`with`); 8 the files' folder itself; 9 slot
//             K (one byte) by its bare name, which the requester takes from
//             the folder the request starts in.
//   OP 30     writes layer-set slot K (one byte, modulo 4) from a mode byte M:
//             M % 4 == 1: raw, a length byte L and L bytes of text;
//             M % 4 == 2: the slot's file is removed;
//             otherwise built: header (M >> 2) % 4 (0 the usual word, 1 another
//             word, 2 no word, 3 a 150-character word), a tag byte (0 gives
//             -3, else the signed byte), a count (signed byte, see below),
//             then a byte N:
//             N % 16 layer lines of 12 signed bytes each, the last line cut
//             short by (N >> 4) % 8 numbers.
//             Each write or removal gives the slot a file of a new name, so
//             that every file keeps one content for the whole session and the
//             script can name it; a standing requester answer naming the slot
//             is given again with the new name.
//   OP 31     misc, one byte A (modulo 8): 0 and 1 the host redraws the panel
//             and reads every row of the three lists (`redraw`); 2 the user
//             closes the panel (`reopen` when a later byte is left and fewer
//             than kMaxOpenings openings were made, else `close`); 3 the next
//             opening sees scene B (one byte, modulo 6); 4 the host copies the
//             instance (QXCopy) into a fresh one and checks it; 5 the
//             pointer's x over the swatch (one signed byte); 6 the instance
//             loads stored state B (one byte, as byte 1) before the next
//             opening; 7 the host makes another instance now, loads stored
//             state B (one byte) into it and destroys it: the open panel's
//             buffer-list rows and requester texts must not change. 3 and 6
//             become the scene file of the next `reopen`.
//
//   I  one byte: 0x80 then 8 bytes of a 64-bit integer; 0x81 then 4 bytes of
//      a 32-bit integer; otherwise the byte as a signed number (ff is -1).
//   P  one byte: 0x80 then the 8 bytes of a double (NaN included); 0x81 then
//      an index into kSpecialPercents; otherwise the byte as a signed number.
//   S  one byte: 0x80 then 4 bytes of a 32-bit integer; otherwise 0..255.
//   C  one byte: 0x80 then the 4 bytes of a float; otherwise the byte / 255.
//
// The files live in a folder of this process's own and are removed at the
// start of every input. Inputs that draw the preview keep their stacks
// shallow, so that the preview's per-pixel work does not stall them: Import is
// not delivered while the selected entry already holds kMaxImportStack
// layers (the script says so in a comment), a built file's count above
// kMaxFileLayers is taken modulo kMaxFileLayers + 1, and a raw file announcing
// more is emptied. Inputs that do not draw it may reach the most layers an
// instance holds: a built file's count byte 127 announces SCENE_MAX_LAYERS
// layers, 126 one more, 125 half as many, 124 one fewer, and Import is always
// delivered. While the instance holds more than kDeepInstance layers, the
// round trip is made only at the last event of an opening and after each
// closing.
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

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "common/control_names.h"
#include "common/instance_checks.h"
#include "effect.h"
#include "fuzz_support.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"
#include "preview.h"
#include "scripts/panel_script.h"
#include "stand_in/stand_in_host.h"

namespace {

namespace fs = std::filesystem;

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
  int64_t integer() {
    const uint8_t b = byte();
    if (b == 0x80) return raw<int64_t>();
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
constexpr int kNaNScene = 4;

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
  case kNaNScene:
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
// The folder of the session's files

// Whether the host makes the preview area, so that the preview is drawn.
bool g_previewArea = false;

// QX_FUZZ_REPRO's folder, or empty when no reproduction is written.
const std::string &ReproFolder() {
  static const std::string folder = [] {
    const char *dir = getenv("QX_FUZZ_REPRO");
    if (dir == nullptr || *dir == '\0') return std::string();
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::absolute(dir, ec).lexically_normal().string();
  }();
  return folder;
}

// The folder the session's files live in: the reproduction's, or one of this
// process's own, removed at exit.
const std::string &Folder() {
  static const std::string folder = [] {
    if (!ReproFolder().empty()) return ReproFolder();
    char pattern[] = "/tmp/qx_panel_events.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      perror("panel_events: mkdtemp");
      abort();
    }
    return std::string(pattern);
  }();
  // Registered once the name is made, so that it runs before the name ends.
  static const bool removedAtExit = [] {
    if (ReproFolder().empty()) {
      atexit([] {
        std::error_code ec;
        fs::remove_all(folder, ec);
      });
    }
    return true;
  }();
  (void)removedAtExit;
  return folder;
}

// Removes the files of the last input: everything in a folder of this
// process's own, only the session's own files from QX_FUZZ_REPRO's.
void RemoveFiles() {
  std::error_code ec;
  const bool own = ReproFolder().empty();
  for (const auto &entry : fs::directory_iterator(Folder(), ec)) {
    const std::string name = entry.path().filename().string();
    const bool session = name == "session.txt" || name == "state.txt" || name == "missing.QXD" ||
                         (name.rfind("slot", 0) == 0 && entry.path().extension() == ".QXD") ||
                         (name.rfind("scene", 0) == 0 && entry.path().extension() == ".json");
    if (own || session) fs::remove_all(entry.path(), ec);
  }
}

void WriteText(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    perror("panel_events: a file cannot be written");
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

// The text of a built layer-set file (OP 30, modes 0 and 3).
std::string BuiltLayerSet(Input &in, uint8_t mode) {
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
  return text;
}

// ---------------------------------------------------------------------------
// Script text

// A number as the script writes it, read back to the very same value.
// A pointer line: a position off the control is what a faulty host (or a
// drag past the control's edge) hands the module, and goes through force.
std::string PointerLine(const std::string &target, int x, const qx::PanelControl &control) {
  const bool over = x >= 0 && x < control.width();
  return std::string(over ? "" : "force ") + "pointer " + target + " " + std::to_string(x);
}

std::string Number(double value, int digits) {
  if (isnan(value)) return "nan";
  if (isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[64];
  snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
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

// What the file requester answers, as far as a rewritten slot must follow.
struct StandingAnswer {
  int slot = -1; // the slot it names; -1 for anything else
  bool bare = false;
};

class Session {
public:
  Session(qx::Host &host, FilterInstance *inst, Input &in, int scene, int state)
      : host_(host), inst_(inst), in_(in), player_(host, qx::PanelScript(), {}, {}), scene_(scene) {
    draw_.host = &host;
    draw_.hostDraw = host.panels().record()->drawFuncs;
    draw_.paint = getenv("QX_FUZZ_HOST_CANVAS") != nullptr;
    checkedDraw_ = *draw_.hostDraw;
    checkedDraw_.drawRGBPixel = CheckedPixel;
    checkedDraw_.drawRGBBox = CheckedBox;
    panelFuncs_ = *host.panels().record();
    panelFuncs_.drawFuncs = &checkedDraw_;
    g_draw = &draw_;
    if (!g_previewArea) host.panels().refuseKind(qx::ControlKind::Area);
    host.files().setContentDirectory(Folder());
    host.panels().setOpenHandler([this](qx::Panel &panel) { Play(panel); });
    host.provide(HOST_PANEL_SERVICES, &panelFuncs_);
    StartScript(state);
  }
  ~Session() { g_draw = nullptr; }
  // The layer-set files the fuzzer wrote; the module's exports are the rest.
  const std::vector<std::string> &ownFiles() const { return ownFiles_; }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Opens the panel until the input or the events run out.
  void Run() {
    for (int opening = 0; opening < kMaxOpenings; ++opening) {
      if (opening > 0 && !reopen_) break;
      reopen_ = false;
      opening_ = opening;
      if (pendingScene_ >= 0) host_.setScene(SceneNumber(pendingScene_));
      pendingScene_ = -1;
      if (pendingState_ >= 0) (void)checks::LoadLines(inst_, StateNumber(pendingState_));
      pendingState_ = -1;
      draw_.located = nullptr; // a new panel may stand where the last one stood
      what_ = {"# opening " + std::to_string(opening)};
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
  // Reports the fault with the event and its lines, then the session as a
  // script, and aborts so that the fuzzer keeps the input.
  [[noreturn]] void Fail(const std::string &fault) {
    std::string lines;
    for (const std::string &line : what_) lines += (lines.empty() ? "" : " | ") + line;
    fprintf(stderr, "panel_events: event %d (%s): %s\n", events_, lines.c_str(), fault.c_str());
    fprintf(stderr, "panel_events: the session so far, as a qxhost panel script:\n");
    for (const std::string &line : script_) fprintf(stderr, "  %s\n", line.c_str());
    abort();
  }

  // ---- The script and the reproduction

  // The script's first lines, and with QX_FUZZ_REPRO the scene it opens on.
  void StartScript(int state) {
    const std::string &dir = ReproFolder();
    if (!dir.empty()) {
      repro_.open(dir + "/session.txt", std::ios::binary | std::ios::trunc);
      qx::Scene scene = SceneNumber(scene_);
      if (state % kStates != 0) scene.filterState = StateNumber(state);
      WriteText(dir + "/scene.json", scene.toJson());
    }
    const std::string folder = dir.empty() ? "DIR" : dir;
    Emit("# A panel_events input as a panel session: scene " + std::to_string(scene_) +
         ", stored state " + std::to_string(state % kStates) +
         (g_previewArea ? "" : ", no preview area") + ". Replay it with");
    Emit("#   qxhost panel --scene " + folder + "/scene.json --script " + folder +
         "/session.txt --content-dir " + folder +
         (g_previewArea ? "" : " --refuse-control AreaControl"));
    if (scene_ == kNaNScene)
      Emit("# (scene 4 holds NaN values, which a scene file cannot; only the replay binary "
           "plays it exactly)");
  }

  // Adds a line to the script, and to the reproduction's file at once.
  void Emit(const std::string &line) {
    script_.push_back(line);
    if (repro_.is_open()) repro_ << line << '\n' << std::flush;
  }

  // A scene file for the next `reopen`, written for the reproduction only:
  // the fuzzer itself takes the scene and the state as they are (NaN too).
  std::string ReopenScene() {
    if (pendingScene_ < 0 && pendingState_ < 0) return "";
    const int scene = pendingScene_ >= 0 ? pendingScene_ : scene_;
    std::string name = "scene-" + std::to_string(scene);
    if (pendingState_ >= 0) name += "-state-" + std::to_string(pendingState_);
    name += ".json";
    if (!ReproFolder().empty()) {
      qx::Scene file = SceneNumber(scene);
      if (pendingState_ >= 0) file.filterState = StateNumber(pendingState_);
      WriteText(ReproFolder() + "/" + name, file.toJson());
    }
    scene_ = scene;
    return fuzz::Quoted(Folder() + "/" + name);
  }

  // Plays one script line on the open panel, as `qxhost panel` plays it.
  void PlayLine(const std::string &line, qx::Panel &panel) {
    what_.push_back(line);
    Emit(line);
    std::vector<qx::BoundStep> bound;
    qx::PanelScript script;
    try {
      script = qx::PanelScript::parse(line, "the decoded line");
      bound = qx::bindScript(script, panel);
    } catch (const qx::Error &e) {
      Fail(std::string("the script refused the line: ") + e.what());
    }
    for (const qx::BoundStep &step : bound) {
      // A ghosted control whose handler tests its flag must change nothing.
      const bool fires = step.step->action == qx::ScriptAction::Select ||
                         step.step->action == qx::ScriptAction::Set ||
                         step.step->action == qx::ScriptAction::Click;
      const int number =
          fires ? ModuleNumber(panel.control(static_cast<size_t>(step.control))) : -1;
      const bool ghosted = number >= 0 && Guarded(number) && inst_->ctlOn[number] == 0;
      const std::string before = ghosted ? Snapshot() : std::string();
      try {
        player_.play(step, panel);
      } catch (const qx::Error &e) {
        Fail(e.what());
      }
      if (ghosted && Snapshot() != before) Fail("the ghosted control acted");
    }
  }

  // ---- Decoding: one event into script lines

  void Play(qx::Panel &panel) {
    what_ = {"# open"};
    for (int n = 0; n < CTL_COUNT; ++n) {
      const bool made = g_previewArea || n != CTL_PREVIEW_AREA;
      qx::PanelControl *control = Control(n);
      if ((control != nullptr) != made || (control != nullptr && &control->panel() != &panel))
        Fail("the module does not hold the control " + std::to_string(n) + " the host made");
    }
    CheckAll(true);
    while (!in_.empty() && events_ < MaxEvents()) {
      what_.clear();
      const bool close = Event(panel);
      const bool last = close || in_.empty() || events_ + 1 >= MaxEvents();
      CheckAll(last || ((events_ + 1) % kRoundTripEvery == 0 && Shallow()));
      if (trace_) Trace();
      ++events_;
      if (close) return;
    }
  }

  // Decodes and plays one event; true when it closes the panel.
  bool Event(qx::Panel &panel) {
    const int op = in_.byte() % 32;
    if (op < CTL_COUNT) {
      ControlEvent(op, panel);
      return false;
    }
    switch (op) {
    case 28:
      PickerAnswer(panel);
      return false;
    case 29:
      RequesterAnswer(panel);
      return false;
    case 30:
      WriteLayerSet(panel);
      return false;
    default:
      return Misc(panel);
    }
  }

  void ControlEvent(int number, qx::Panel &panel) {
    qx::PanelControl *made = Control(number);
    const std::string name = kControlNames[number];
    if (made == nullptr) { // a host without the control delivers nothing to it
      Comment("control " + std::to_string(number) + " (" + name + ") was not made");
      return;
    }
    const qx::PanelControl &control = *made;
    const std::string target = std::to_string(control.index());
    const std::string note = "  # " + name;
    switch (control.kind()) {
    case qx::ControlKind::Percent: {
      const double value = in_.percent();
      PlayLine(std::string(isfinite(value) ? "" : "force ") + "set " + target + " " +
                   Number(value, 17) + note,
               panel);
      return;
    }
    case qx::ControlKind::MiniRgb: {
      const int red = in_.swatch(), green = in_.swatch(), blue = in_.swatch();
      const int x = in_.signedByte();
      const bool inRange = ((red | green | blue) & ~0xFF) == 0;
      PlayLine(PointerLine(target, x, control), panel);
      PlayLine(std::string(inRange ? "" : "force ") + "set " + target + " " + std::to_string(red) +
                   " " + std::to_string(green) + " " + std::to_string(blue) + note,
               panel);
      return;
    }
    default:
      break;
    }
    const int64_t value = in_.integer();
    if (number == CTL_IMPORT) {
      const SBEntry *entry = SelectedEntry(inst_);
      if (g_previewArea && entry != nullptr && GetLayerNum(entry) >= kMaxImportStack) {
        Comment("Import not delivered: the stack is deep enough");
        return;
      }
    }
    // An export over a file the fuzzer wrote goes to a new name instead, so
    // that the file keeps its content for a replay; the slot takes the new
    // name only if the export made it.
    const bool keepFile = number == CTL_EXPORT && standing_.slot >= 0 && written_[standing_.slot];
    const int slot = standing_.slot;
    if (keepFile) {
      ++version_[slot];
      written_[slot] = false;
      AnswerSlot(slot, standing_.bare, panel);
    }
    IntegerEvent(control, value, note, panel);
    if (keepFile && !fs::exists(Folder() + "/" + SlotName(slot))) {
      --version_[slot];
      written_[slot] = true;
      AnswerSlot(slot, standing_.bare, panel);
    }
  }

  // A control event with an integer value.
  void IntegerEvent(const qx::PanelControl &control, int64_t value, const std::string &note,
                    qx::Panel &panel) {
    const std::string target = std::to_string(control.index());
    const std::string text = std::to_string(value);
    std::string line;
    switch (control.kind()) {
    case qx::ControlKind::ListBox:
      line = "select " + target + " " + text;
      break;
    case qx::ControlKind::Bool:
      line = std::string(value == 0 || value == 1 ? "" : "force ") + "set " + target + " " + text;
      break;
    case qx::ControlKind::Popup:
      line = std::string(value >= 0 && value < static_cast<int64_t>(control.items().size())
                             ? ""
                             : "force ") +
             "set " + target + " " + text;
      break;
    default: // a button or the area: clicked, with the value it holds or with another
      line = value == control.value().intv.value ? "click " + target
                                                 : "force set " + target + " " + text;
      break;
    }
    PlayLine(line + note, panel);
  }

  void PickerAnswer(qx::Panel &panel) {
    switch (in_.byte() % 4) {
    case 0: {
      const float rgb[3] = {in_.channel(), in_.channel(), in_.channel()};
      bool inRange = true;
      std::string line = "picker accept";
      for (float c : rgb) {
        inRange = inRange && c >= 0.0f && c <= 1.0f;
        line += " " + Number(c, 9);
      }
      PlayLine(inRange ? line : "force " + line, panel);
      break;
    }
    case 1:
      PlayLine("picker cancel", panel);
      break;
    case 2:
      PlayLine("picker none", panel);
      break;
    default:
      PlayLine("picker fail", panel);
      break;
    }
  }

  // The name of slot `k`'s file now.
  std::string SlotName(int k) const {
    return "slot" + std::to_string(k) + (version_[k] > 0 ? "-" + std::to_string(version_[k]) : "") +
           ".QXD";
  }

  void AnswerSlot(int k, bool bare, qx::Panel &panel) {
    standing_ = StandingAnswer{k, bare};
    PlayLine("file " + fuzz::Quoted(bare ? SlotName(k) : Folder() + "/" + SlotName(k)), panel);
  }

  void Answer(const std::string &path, qx::Panel &panel) {
    standing_ = StandingAnswer{};
    PlayLine("file " + fuzz::Quoted(path), panel);
  }

  void RequesterAnswer(qx::Panel &panel) {
    switch (in_.byte() % 10) {
    case 0:
      AnswerSlot(in_.byte() % kSlots, false, panel);
      break;
    case 1:
      Answer(Folder() + "/missing.QXD", panel);
      break;
    case 2:
      standing_ = StandingAnswer{};
      PlayLine("file cancel", panel);
      break;
    case 3:
      PlayLine("without \"File Request\"", panel);
      break;
    case 4:
      PlayLine("without \"Directory Info\"", panel);
      break;
    case 5:
      PlayLine("without \"Info Messages 2\"", panel);
      break;
    case 6:
      Answer(Folder() + "/no-such-folder/set.QXD", panel);
      break;
    case 7:
      for (const char *service :
           {"Color Picker", "File Request", "Directory Info", "Info Messages 2"})
        PlayLine("with " + fuzz::Quoted(service), panel);
      break;
    case 8:
      // With its closing slash, so that the requester stays in the folder
      // rather than moving up to its parent: every answer keeps the files
      // inside the folder.
      Answer(Folder() + "/", panel);
      break;
    default:
      AnswerSlot(in_.byte() % kSlots, true, panel);
      break;
    }
  }

  // OP 30: the slot gets a file of a new name (or none), and a standing
  // answer naming the slot follows it.
  void WriteLayerSet(qx::Panel &panel) {
    const int slot = in_.byte() % kSlots;
    const uint8_t mode = in_.byte();
    ++version_[slot];
    written_[slot] = mode % 4 != 2;
    if (written_[slot]) ownFiles_.push_back(SlotName(slot));
    const std::string path = Folder() + "/" + SlotName(slot);
    if (mode % 4 == 2) {
      Comment("slot " + std::to_string(slot) + " is removed: " + SlotName(slot) + " is not there");
    } else if (mode % 4 == 1) {
      const int length = in_.byte();
      std::string text;
      for (int i = 0; i < length && !in_.empty(); ++i)
        text.push_back(static_cast<char>(in_.byte()));
      WriteText(path, text);
      if (g_previewArea && AnnouncedCount(path) > kMaxFileLayers) WriteText(path, "");
      Comment("the folder gets " + SlotName(slot) + " (raw)");
    } else {
      WriteText(path, BuiltLayerSet(in_, mode));
      Comment("the folder gets " + SlotName(slot));
    }
    if (standing_.slot == slot) AnswerSlot(slot, standing_.bare, panel);
  }

  bool Misc(qx::Panel &panel) {
    switch (in_.byte() % 8) {
    case 0:
    case 1:
      PlayLine("redraw", panel);
      return false;
    case 2: {
      // Another opening follows when input is left for it.
      reopen_ = opening_ + 1 < kMaxOpenings && !in_.empty() && events_ + 1 < MaxEvents();
      if (!reopen_) {
        PlayLine("close", panel);
        return true;
      }
      const std::string scene = ReopenScene();
      if (scene_ == kNaNScene && !scene.empty())
        Comment("(scene 4 holds NaN values, which a scene file cannot; only the replay binary "
                "plays it exactly)");
      PlayLine(scene.empty() ? "reopen" : "reopen " + scene, panel);
      return true;
    }
    case 3:
      pendingScene_ = in_.byte() % kScenes;
      Comment("the next opening sees scene " + std::to_string(pendingScene_));
      return false;
    case 4:
      Comment("(fuzzer) the host copies the instance and checks the copy");
      CopyCheck();
      return false;
    case 5: {
      const int x = in_.signedByte();
      PlayLine(PointerLine(std::to_string(Control(CTL_SWATCH)->index()), x, *Control(CTL_SWATCH)),
               panel);
      return false;
    }
    case 6:
      pendingState_ = in_.byte() % kStates;
      Comment("the next opening loads stored state " + std::to_string(pendingState_));
      return false;
    default: {
      const int state = in_.byte() % kStates;
      Comment("(fuzzer) the host makes another instance with state " + std::to_string(state) +
              " and destroys it");
      OtherInstance(state);
      return false;
    }
    }
  }

  void Comment(const std::string &text) {
    what_.push_back("# " + text);
    Emit("# " + text);
  }

  // ---- The oracle

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

  // The module's number of a control on the host's panel.
  int ModuleNumber(qx::PanelControl &control) {
    for (int n = 0; n < CTL_COUNT; ++n)
      if (Control(n) == &control) return n;
    return -1;
  }

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

  // Another instance made, loaded and destroyed while the panel is open
  // leaves the panel's requester texts as they were.
  void OtherInstance(int state) {
    const std::string folder = Fpath, name = Fname, node = Fnode;
    HostInstance other = QXCreate(nullptr, nullptr, nullptr);
    if (other == nullptr) Fail("no other instance");
    const std::vector<std::string> lines = StateNumber(state);
    if (!lines.empty()) (void)checks::LoadLines(other, lines);
    QXDestroy(other);
    if (folder != Fpath || name != Fname || node != Fnode)
      Fail("another instance changed the open panel's requester texts");
  }

  // One line per event on stderr, for writing and reading seeds.
  void Trace() {
    std::string lines;
    for (const std::string &line : what_) lines += (lines.empty() ? "" : " | ") + line;
    const SBEntry *entry = SelectedEntry(inst_);
    fprintf(stderr, "event %d: %s -> entry %d (%s), %d rows, row %d, messages %zu\n", events_,
            lines.c_str(), inst_->curEntry,
            entry == nullptr ? "none"
            : entry->on != 0 ? "on"
                             : "off",
            inst_->layerCount, inst_->curLayerNo, host_.messages().messages().size());
  }

  qx::Host &host_;
  FilterInstance *inst_;
  const bool trace_ = getenv("QX_FUZZ_TRACE") != nullptr;
  Input &in_;
  qx::PanelSession player_;
  DrawCheck draw_;
  HostDrawFuncs checkedDraw_{};
  HostPanelFuncs panelFuncs_{};
  int events_ = 0;
  int opening_ = 0;
  bool reopen_ = false;
  int scene_;
  int pendingScene_ = -1;
  int pendingState_ = -1;
  int version_[kSlots] = {};
  bool written_[kSlots] = {}; // whether the fuzzer wrote the slot's file
  StandingAnswer standing_;
  std::vector<std::string> what_;   // the current event's lines
  std::vector<std::string> script_; // every line so far
  std::ofstream repro_;
  std::vector<std::string> ownFiles_; // the layer-set files the fuzzer wrote
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
  std::vector<std::string> ownFiles;
  {
    Session session(host, inst, in, (scene & 0x7F) % kScenes, state);
    session.Run();
    ownFiles = session.ownFiles();
  }
  // The reproduction's end: the folder as the session found it, without the
  // files the module exported (a replay makes them again), and the state the
  // instance saves, to check a replay against.
  if (!ReproFolder().empty()) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(ReproFolder(), ec)) {
      const std::string name = entry.path().filename().string();
      const bool exported = entry.path().extension() == ".QXD" &&
                            std::find(ownFiles.begin(), ownFiles.end(), name) == ownFiles.end();
      if (exported) fs::remove(entry.path(), ec);
    }
    std::string lines;
    for (const std::string &line : checks::SaveLines(inst)) lines += line + "\n";
    WriteText(ReproFolder() + "/state.txt", lines);
  }
  QXDestroy(inst);
  global_func = nullptr;
  return 0;
}
