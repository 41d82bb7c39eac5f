// qxhost render's command line in both builds: the options both take, their
// checks, and the records they fill for the host library, which renders
// (frames/frame_filter.h, frame_output.h, sequence.h); and the built-in
// demo. cmd_render.cpp adds EXR outputs and sequences; cmd_render_planes.cpp
// is the build without OpenEXR.
#pragma once

#include <string>
#include <vector>

#include "command.h"
#include "frames/frame_filter.h"
#include "frames/frame_input.h"
#include "frames/frame_output.h"

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
  bool ignoreBadState = false;
  std::string pngTransfer = "linear";
  std::string pngWindow = "display";
  FrameReadOptions read;
};

// Adds them to the command; `frameHelp` and `outHelp` say what the build
// reads and writes. `frameOptions` are the frame options the build offers.
void addRenderBasics(CLI::App &command, RenderBasics &args, const std::string &frameHelp,
                     const std::string &outHelp, FrameOptionSet frameOptions);

// Checks them: throws Error for a bad combination. False when none of
// --scene, --frame and --out is given, which renders the built-in demo.
bool checkRenderBasics(const RenderBasics &args);

// What a render's run is given, worked out from its arguments.
struct RenderSetup {
  FrameReadOptions frame; // with its map and its bytes
  FrameOutputOptions output;
  FilterRunOptions run;
};

// The setup of both builds: the output's format, checked here, before the
// work, then the frame's channel map. Throws Error.
RenderSetup renderSetupFor(const RenderBasics &args);

// The files a render reads besides its frame: the scene, the module and the
// channel map.
std::vector<NamedPath> runInputs(const RenderBasics &args);
// The same and the frame (each plane of a folder of planes), for
// refuseOutputOverInput.
std::vector<NamedPath> renderInputs(const RenderBasics &args, const std::string &frame);

// The built-in demo, before | after, into kDemoOutput.
int renderDemo(const RenderBasics &args);

} // namespace qx::cli
