// qxhost render's command line, shared by both builds.
#include "render_frame.h"

#include <cstdio>
#include <filesystem>

#include "base/error.h"
#include "frames/image_io.h"
#include "frames/renderer.h"

namespace qx::cli {

void addRenderBasics(CLI::App &command, RenderBasics &args, const std::string &frameHelp,
                     const std::string &outHelp, FrameOptionSet frameOptions) {
  addModuleOption(command, args.module);
  addSceneOption(command, args.scene);
  command.add_option("--frame", args.frame, frameHelp);
  command.add_option("--out", args.out, outHelp);
  addThreadsOption(command, args.threads,
                   "Threads for decoding, filtering and encoding (default: one per core)");
  addFrameReadOptions(command, args.read, frameOptions);
  command
      .add_option("--png-transfer", args.pngTransfer,
                  "linear (default): PNG bytes are trunc(v x 255), marked gamma 1.0; srgb: "
                  "the sRGB curve, with the sRGB chunk")
      ->check(CLI::IsMember({"linear", "srgb"}));
  command
      .add_option("--png-window", args.pngWindow,
                  "display (default): a PNG shows the display window, the data window in place "
                  "and the rest transparent; data: the data window alone")
      ->check(CLI::IsMember({"display", "data"}));
  command.add_flag("--ignore-bad-state", args.ignoreBadState,
                   "Render even when the module refuses the scene's filter.state (without the "
                   "stored stacks)");
}

bool checkRenderBasics(const RenderBasics &args) {
  const int given =
      (args.scene.empty() ? 0 : 1) + (args.frame.empty() ? 0 : 1) + (args.out.empty() ? 0 : 1);
  if (given == 0) return false;
  if (given != 3) {
    throw Error("render: --scene, --frame and --out go together (give none of them to render "
                "the built-in demo)");
  }
  FrameReadOptions frame = args.read;
  frame.checkLimits("render");
  return true;
}

RenderSetup renderSetupFor(const RenderBasics &args) {
  RenderSetup setup;
  const ImageFormat format = imageFormatFor(args.out);
  setup.frame = args.read;
  setup.frame.checkLimits("render");
  setup.frame.mapChannels("render");
  setup.output.png = format == ImageFormat::Png;
  setup.output.planesOut = format == ImageFormat::Planes;
  setup.output.transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  setup.output.pngDisplayWindow = args.pngWindow == "display";
  setup.output.verbose = args.read.verbose;
  setup.run.threads = renderThreads(args.threads);
  setup.run.sceneName = args.scene;
  setup.run.refuseBadState = !args.ignoreBadState;
  setup.run.straightOut = setup.output.png;
  return setup;
}

std::vector<NamedPath> runInputs(const RenderBasics &args) {
  return {
      {"the scene", args.scene}, {"the module", args.module}, {"the channel map", args.read.chMap}};
}

std::vector<NamedPath> renderInputs(const RenderBasics &args, const std::string &frame) {
  std::vector<NamedPath> inputs = runInputs(args);
  const std::vector<NamedPath> own = frameFiles(frame);
  inputs.insert(inputs.end(), own.begin(), own.end());
  return inputs;
}

int renderDemo(const RenderBasics &args) {
  const Frame picture = renderDemoFrame(args.module, args.threads);
  const PngTransfer transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  writePng(kDemoOutput, picture, transfer);
  std::printf("%s\n", std::filesystem::absolute(kDemoOutput).string().c_str());
  return kExitOk;
}

} // namespace qx::cli
