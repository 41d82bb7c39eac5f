// What qxhost render is in both builds, and how render and edit take a frame
// in: the frame's options and their checks, what a frame holds and the check
// of it, the colour's alpha around the filter, the filter instance of a run
// and what it does to a frame, frames of .npy planes and the built-in demo.
// cmd_render.cpp adds EXR outputs and sequences; cmd_render_planes.cpp is
// the build without OpenEXR; cmd_edit.cpp reads its render view's frame here.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "frames/channel_map.h"
#include "frames/frame.h"
#include "frames/image_io.h"
#include "frames/renderer.h"
#include "scene/cryptomatte.h"
#include "scene/state_check.h"
#include "stand_in/stand_in_host.h"

namespace qx {
class ExrInput;
struct ExrReadOptions;
} // namespace qx

namespace qx::cli {

// The picture the argument-less render writes.
constexpr char kDemoOutput[] = "quintessalux-demo.png";

// How a frame is taken in, as given: the options render and edit share.
struct FrameInputArgs {
  std::string frame;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  // --max-memory as given ("2GiB"); maxMemoryOf() reads it.
  std::string maxMemory = "2GiB";
  bool allowMissing = false;
  std::string alpha = "straight";
  // Where each buffer comes from: the channel options of the build with
  // OpenEXR, present when addChannelOptions added them.
  bool hasChannelOptions = false;
  std::vector<std::string> ch;
  std::string chMap;
  std::string part;
  bool verbose = false;
  std::string cryptomatte;
};

// Adds --allow-missing, --alpha, --max-pixels and --max-memory (--frame is
// each command's own, with its own help).
void addFrameInputOptions(CLI::App &command, FrameInputArgs &args);
// Adds --ch, --ch-map, --part and --verbose.
void addChannelOptions(CLI::App &command, FrameInputArgs &args);
// Adds --cryptomatte LAYER (render and edit).
void addCryptomatteOption(CLI::App &command, FrameInputArgs &args);
// Throws Error for a bad value; `command` names the command.
void checkFrameInputArgs(const FrameInputArgs &args, const std::string &command);
// --max-memory in bytes. Throws Error naming the option.
std::uint64_t maxMemoryOf(const FrameInputArgs &args, const std::string &command);
// Adds --threads, 1 to kMaxThreads (0 when not given: one per core).
void addThreadsOption(CLI::App &command, unsigned int &threads, const std::string &help);

// The options of render that both builds take, as given.
struct RenderBasics : FrameInputArgs {
  std::string module;
  std::string scene;
  std::string out;
  unsigned int threads = 0;
  bool ignoreBadState = false;
  std::string pngTransfer = "linear";
  std::string pngWindow = "display";
};

// Adds them to the command; `frameHelp` and `outHelp` say what the build
// reads and writes.
void addRenderBasics(CLI::App &command, RenderBasics &args, const std::string &frameHelp,
                     const std::string &outHelp);

// Checks them: throws Error for a bad combination. False when none of
// --scene, --frame and --out is given, which renders the built-in demo.
bool checkRenderBasics(const RenderBasics &args);

// What every frame of one run shares in the filter's hands, worked out from
// the arguments.
struct FilterSetup {
  ChannelMap map;
  bool png = false;       // the output is a PNG
  bool planesOut = false; // the output is a folder of .npy planes
  PngTransfer transfer = PngTransfer::Linear;
  // A PNG of the display window (the data window in place, the rest
  // transparent), or of the data window alone (--png-window).
  bool pngDisplayWindow = true;
  bool premultiplied = false;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  bool allowMissing = false;
  bool verbose = false;
  unsigned int threads = 0;
  // The scene, for the message when the module refuses its stored state,
  // and whether that refusal ends the run.
  std::string sceneName;
  bool refuseBadState = true;
  // The way out named when a colour or special-buffer channel is missing.
  std::string missingHint = "give --allow-missing";
  // The Cryptomatte layer whose ranks give each pixel its ids (--cryptomatte),
  // or empty for the special-buffer channel.
  std::string cryptomatte;
};

// The frame's part of a setup: the channel map, the alpha, what a missing
// channel does and --verbose. `command` names the command in messages about
// a bad --ch. Throws Error for a bad mapping.
FilterSetup frameSetupFor(const FrameInputArgs &args, const std::string &command);

// Render's setup: the frame's part and the output's, whose format is
// checked here, before the work.
FilterSetup filterSetupFor(const RenderBasics &args);

// What a render of `frame` into `out` reads and writes, for
// refuseOutputOverInput: the scene, the module, the channel map and the
// frame (each plane of a folder of planes) against the output (the colour
// planes of a folder).
std::vector<NamedPath> renderInputs(const RenderBasics &args, const std::string &frame);
std::vector<NamedPath> renderOutputs(const FilterSetup &setup, const std::string &out);

// Says of each output that is a file with other names (hard links) that
// those keep the old content; for --verbose.
void noteSplitLinks(const std::vector<NamedPath> &outputs);
// The same for a render's output, with the setup's --verbose.
void noteSplitLinks(const FilterSetup &setup, const std::string &out);

// The buffers to read for a filter whose requirement mask is `mask`: the
// mask's, the special buffer and the colour.
std::bitset<kBufferSlots> buffersFor(unsigned int mask);

// What a frame's input holds, for the checks before it is filtered.
struct InputHoldings {
  // The buffers read from the file or filled with a constant.
  std::bitset<kBufferSlots> held;
  // Every channel of the file, for the message naming what is missing.
  std::vector<std::string> fileChannels;
  // Where each buffer comes from, said with --verbose.
  std::vector<std::string> sources;
};

// Checks what a frame's input holds against the buffers `wanted`, before
// its first row is filtered. A missing colour or special-buffer channel is
// an Error naming the file's channels (unless --allow-missing); any other
// missing buffer is named on stderr once for each bit not yet in `warned`,
// which then gets it. With --verbose, says where each buffer comes from.
void checkFrameInput(const FilterSetup &setup, const std::bitset<kBufferSlots> &wanted,
                     const InputHoldings &input, const std::string &name,
                     std::bitset<kBufferSlots> &warned);

// Straight colour for the filter: R, G and B divided by A where A is at
// least the smallest normal float (FLT_MIN); a smaller alpha, negative ones
// included, counts as 0 and leaves the pixel as it is.
void unpremultiply(Frame &frame);
// Back to premultiplied after the filter: the filtered colour `out` times
// its alpha, and a pixel whose input A counts as 0 (see unpremultiply)
// exactly as it came in. With `straightOut` (a PNG keeps straight colour)
// only those pixels are put back.
void premultiply(const Frame &in, Frame &out, bool straightOut);

// A frame read whole, as the filter takes it, and what it holds.
struct InputFrame {
  Frame frame;
  InputHoldings holdings;
  FrameWindows windows;
  // The extra channels read (ExrReadOptions::extraChannels), in order.
  std::vector<std::vector<float>> extra;
};
// Reads a folder of .npy planes: each buffer from the plane its channel in
// `map` names ("<channel>.npy"), or filled with the map's constant. A plane
// of more than `maxPixels` pixels is refused before it is read, and so is a
// frame that would take more than `maxBytes` held whole with `copies` more
// of its planes, its colour and the colour's written form (worked out from
// the planes' headers first). Throws Error naming the folder or the plane.
InputFrame readPlaneFolder(const std::string &folder, const ChannelMap &map,
                           std::uint64_t maxPixels, std::uint64_t maxBytes, int copies);

// The build with OpenEXR. Where a frame's buffers are read from: the
// setup's map, --part and --max-pixels; the buffers and the pass-through
// are the caller's to set.
ExrReadOptions exrReadOptionsFor(const FrameInputArgs &args, const FilterSetup &setup);
// What an EXR input holds, with the sources --verbose names.
InputHoldings holdingsOf(const ExrInput &input, const ChannelMap &map);
// Reads a folder of .npy planes (a closing slash, see namesPlaneFolder) or
// an EXR file by `read`, whole, within read.memory (whose wholeCopies
// counts for the planes too). Throws Error naming the file.
InputFrame readInputFrame(const std::string &path, const ExrReadOptions &read);

// The filter instance of a run, made once, and what it does to each frame.
class FrameFilter {
public:
  FrameFilter(Host &host, const FilterSetup &setup);
  ~FrameFilter();
  FrameFilter(const FrameFilter &) = delete;
  FrameFilter &operator=(const FrameFilter &) = delete;

  // The buffers to read: the mask's and the colour.
  std::bitset<kBufferSlots> buffers() const;

  // Checks what a frame's input holds before its first row is filtered
  // (checkFrameInput; a missing buffer is named once a run), and tells the
  // instance of the next frame.
  void begin(const InputHoldings &input, const std::string &name);

  // The same with the frame's Cryptomatte layer (under --cryptomatte), whose
  // manifest names objects in what end() reports.
  void begin(const InputHoldings &input, const std::string &name, const CryptomatteLayer *layer);

  // Renders the colour of a frame, or of a strip of one whose first row is
  // `firstRow`, into `colour`. Under --alpha premultiplied the input's
  // colour is made straight in place first. Under --cryptomatte, `ranks`
  // holds the layer's rank planes (id, coverage, id, coverage, ...) and each
  // pixel gets the soft edges of renderCoverage.
  void filter(Frame &in, Frame &colour, int firstRow,
              const std::vector<std::vector<float>> *ranks = nullptr);

  // After a frame's last strip: names on stderr each stored entry holding a
  // stack for whose value the module wrote no pixel of the frame; with
  // --verbose, every entry's pixels written.
  void end();

private:
  const FilterSetup &setup_;
  PixelFilterInstance instance_;
  unsigned int mask_ = 0;
  int frameNumber_ = 0;
  std::bitset<kBufferSlots> warned_;
  std::vector<StoredEntry> entries_; // of the instance's saved state
  std::string frameName_;
  std::optional<CryptomatteLayer> layer_;
  WriteTally written_;
};

// Writes a whole frame's colour to `path` as the setup's output asks: a
// PNG, a folder of planes, or an EXR file of float R, G, B and A.
void writeColour(const std::string &path, const FilterSetup &setup, const Frame &colour);

// A frame given as a folder of .npy planes: read, filtered and written whole.
void renderPlanes(const std::string &frame, const std::string &out, const FilterSetup &setup,
                  FrameFilter &filter, std::uint64_t maxBytes);

// The built-in demo, before | after, into kDemoOutput.
int renderDemo(const RenderBasics &args);

} // namespace qx::cli
