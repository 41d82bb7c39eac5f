// What qxhost render is in both builds: the options they share and their
// checks, the filter instance of a run and what it does to a frame, frames
// of .npy planes and the built-in demo. cmd_render.cpp adds OpenEXR frames,
// channel maps and sequences; cmd_render_planes.cpp is the build without
// OpenEXR.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channel_map.h"
#include "command.h"
#include "frame.h"
#include "image_io.h"
#include "renderer.h"
#include "stand_in_host.h"

namespace qx::cli {

// The picture the argument-less render writes.
constexpr char kDemoOutput[] = "quintessalux-demo.png";

// The options of render that both builds take, as given.
struct RenderBasics {
  std::string module;
  std::string scene;
  std::string frame;
  std::string out;
  unsigned int threads = 0;
  CLI::Option *threadsOption = nullptr;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  bool ignoreBadState = false;
  bool allowMissing = false;
  std::string alpha = "straight";
  std::string pngTransfer = "linear";
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
  bool premultiplied = false;
  bool allowMissing = false;
  bool verbose = false;
  unsigned int threads = 0;
  // The scene, for the message when the module refuses its stored state,
  // and whether that refusal ends the run.
  std::string sceneName;
  bool refuseBadState = true;
  // The way out named when a colour or special-buffer channel is missing.
  std::string missingHint = "give --allow-missing";
};

// The basics' part of a setup; the output's format is checked here, before
// the work.
FilterSetup filterSetupFor(const RenderBasics &args);

// What a frame's input holds, for the checks before it is filtered.
struct InputHoldings {
  std::function<bool(int buffer)> holds;
  // Every channel of the file, for the message naming what is missing.
  std::vector<std::string> fileChannels;
  // Where each buffer comes from, said with --verbose.
  std::vector<std::string> sources;
};

// The buffer's name for messages: its channel in the Frames table, or its
// number alone.
std::string bufferLabel(int buffer);

// The filter instance of a run, made once, and what it does to each frame.
class FrameFilter {
public:
  FrameFilter(Host &host, const FilterSetup &setup);
  ~FrameFilter();
  FrameFilter(const FrameFilter &) = delete;
  FrameFilter &operator=(const FrameFilter &) = delete;

  // The buffers to read: the mask's and the colour.
  std::bitset<kBufferSlots> buffers() const;

  // Checks what a frame's input holds before its first row is filtered. A
  // missing colour or special-buffer channel is an Error naming the file's
  // channels (unless --allow-missing); any other missing buffer is named
  // once a run.
  void begin(const InputHoldings &input, const std::string &name);

  // Renders the colour of a frame, or of a strip of one whose first row is
  // `firstRow`, into `colour`. Under --alpha premultiplied the input's
  // colour is made straight in place first.
  void filter(Frame &in, Frame &colour, int firstRow);

private:
  void check(const InputHoldings &input, const std::string &name);
  void premultiply(const Frame &in, Frame &out) const;

  const FilterSetup &setup_;
  PixelFilterInstance instance_;
  unsigned int mask_ = 0;
  int frameNumber_ = 0;
  std::bitset<kBufferSlots> warned_;
};

// Writes a whole frame's colour to `path` as the setup's output asks: a
// PNG, a folder of planes, or an EXR file of float R, G, B and A.
void writeColour(const std::string &path, const FilterSetup &setup, const Frame &colour);

// A frame given as a folder of .npy planes: read, filtered and written whole.
void renderPlanes(const std::string &frame, const std::string &out, const FilterSetup &setup,
                  FrameFilter &filter);

// The built-in demo, before | after, into kDemoOutput.
int renderDemo(const RenderBasics &args);

} // namespace qx::cli
