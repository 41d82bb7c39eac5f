// qxhost render: a frame or a sequence of frames through the filter of a
// scene, or, without arguments, the built-in demo before and after.
#include <ImfThreading.h>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "channel_map.h"
#include "command.h"
#include "demo_scene.h"
#include "error.h"
#include "exr_io.h"
#include "frame.h"
#include "frame_input.h"
#include "image_io.h"
#include "renderer.h"
#include "safe_write.h"
#include "sequence.h"
#include "stand_in_host.h"

namespace qx::cli {
namespace {

constexpr char kDemoOutput[] = "quintessalux-demo.png";

// Every option of render, as given; the frame's own come from FrameInputArgs.
struct RenderArgs : FrameInputArgs {
  std::string module;
  std::string scene;
  std::string out;
  unsigned int threads = 0;
  CLI::Option *threadsOption = nullptr;
  bool ignoreBadState = false;
  // Output.
  std::string keep = "all";
  bool half = false;
  bool forceFloat = false;
  std::string pngTransfer = "linear";
  // Sequences.
  std::string frames;
  std::string task;
  bool stopOnError = false;
};

void addRenderOptions(CLI::App &command, RenderArgs &args) {
  command.add_option("--frame", args.frame,
                     "The frame to filter: an OpenEXR file (see README, Frames), a folder of .npy "
                     "planes given with a closing slash, or a "
                     "sequence's pattern with '####' or '%04d' for the frame number");
  command.add_option("--out", args.out,
                     "The output: .exr (every channel carried through), .png (8-bit RGBA), DIR/ "
                     "for .npy planes, or a pattern like --frame's");
  args.threadsOption =
      command.add_option("--threads", args.threads,
                         "Threads for decoding, filtering and encoding (default: one per core)");
  addFrameInputOptions(command, args);
  command
      .add_option("--keep", args.keep,
                  "all: carry every channel through (default); rgba: write only R, G, B, A")
      ->check(CLI::IsMember({"all", "rgba"}));
  CLI::Option *half =
      command.add_flag("--half", args.half, "Write half and float channels as half");
  command.add_flag("--float", args.forceFloat, "Write half and float channels as float")
      ->excludes(half);
  command
      .add_option("--png-transfer", args.pngTransfer,
                  "linear (default): PNG bytes are trunc(v x 255), marked gamma 1.0; srgb: "
                  "the sRGB curve, with the sRGB chunk")
      ->check(CLI::IsMember({"linear", "srgb"}));
  command.add_option("--frames", args.frames,
                     "The frames of a sequence: A-B or A-BxSTEP (needs patterns in --frame "
                     "and --out)");
  command.add_option("--task", args.task,
                     "Render every N-th frame of --frames starting at the I-th: I/N, 1-based");
  command.add_flag("--stop-on-error", args.stopOnError,
                   "Stop a sequence at the first missing or damaged frame");
  command.add_flag("--ignore-bad-state", args.ignoreBadState,
                   "Render even when the module refuses the scene's filter.state (without the "
                   "stored stacks)");
}

// What every frame of one run shares, worked out from the arguments.
struct RenderSetup {
  ExrReadOptions read;
  ExrWriteOptions write;
  bool png = false;
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
};

// The filter instance of a run, made once, and what it does to each frame.
class FrameFilter {
public:
  FrameFilter(Host &host, const RenderSetup &setup)
      : setup_(setup), instance_(host.makeInstance(host.makeFilter())) {
    // A refused state would render as if the scene had no stacks at all.
    reportStateRefusal(host, setup.sceneName, setup.refuseBadState,
                       "nothing rendered (--ignore-bad-state renders without the stored stacks)");
    mask_ = instance_.flags();
    instance_.init(0);
  }
  ~FrameFilter() { instance_.cleanup(); }
  FrameFilter(const FrameFilter &) = delete;
  FrameFilter &operator=(const FrameFilter &) = delete;

  // The buffers to read: the mask's and the colour.
  std::bitset<kBufferSlots> buffers() const { return buffersFor(mask_); }

  // Checks what the file gave, then renders the frame's colour. A missing
  // colour or special-buffer channel is an Error naming the file's channels
  // (unless --allow-missing); any other missing buffer is named once a run.
  Frame filter(ExrImage &image, const std::string &name, std::FILE *progress) {
    checkFrameChannels(image, name, buffers(), setup_.read.map, setup_.allowMissing, setup_.verbose,
                       warned_);
    Frame &in = image.frame;
    if (setup_.premultiplied) unpremultiply(in);
    RenderOptions options;
    options.threads = setup_.threads;
    options.progress = progress;
    instance_.newTime(frameNumber_++, 0.0);
    Frame out = renderFrame(
        in, [&](const HostPixelAccess &access) { instance_.evaluate(access); }, options);
    if (setup_.premultiplied) premultiply(in, out, setup_.png);
    return out;
  }

  // The demo's frame, which holds every buffer.
  Frame filter(const Frame &frame) {
    RenderOptions options;
    options.threads = setup_.threads;
    instance_.newTime(0, 0.0);
    return renderFrame(
        frame, [&](const HostPixelAccess &access) { instance_.evaluate(access); }, options);
  }

private:
  const RenderSetup &setup_;
  PixelFilterInstance instance_;
  unsigned int mask_ = 0;
  int frameNumber_ = 0;
  std::bitset<kBufferSlots> warned_;
};

RenderSetup makeSetup(const RenderArgs &args) {
  RenderSetup setup;
  setup.read = frameReadOptions(args, "render");
  setup.read.passThrough = args.keep == "all";
  setup.write.rgbaOnly = args.keep == "rgba";
  setup.write.type = args.half         ? ExrPixelChoice::Half
                     : args.forceFloat ? ExrPixelChoice::Float
                                       : ExrPixelChoice::Input;
  setup.write.attributes = {
      {"qxhost:module", std::filesystem::absolute(args.module).string()},
      {"qxhost:scene", std::filesystem::absolute(args.scene).string()},
      {"qxhost:version", "qxhost " QX_VERSION},
  };
  const ImageFormat format = imageFormatFor(args.out);
  setup.png = format == ImageFormat::Png;
  setup.planesOut = format == ImageFormat::Planes;
  setup.transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  setup.premultiplied = args.alpha == "premultiplied";
  setup.allowMissing = args.allowMissing;
  setup.verbose = args.verbose;
  setup.threads = renderThreads(args.threads);
  setup.sceneName = args.scene;
  setup.refuseBadState = !args.ignoreBadState;
  return setup;
}

void writeOutput(const std::string &path, const RenderSetup &setup, const ExrImage &image,
                 const Frame &colour, bool fromPlanes) {
  if (setup.png) {
    writePng(path, colour, setup.transfer);
  } else if (setup.planesOut) {
    colour.writePlanes(path);
  } else if (fromPlanes) { // no EXR header to carry through
    colour.writeExr(path);
  } else {
    writeExrImage(path, image, colour, setup.write);
  }
}

int renderDemo(const RenderArgs &args) {
  DemoScene demo = makeDemoScene();
  Host host(demo.scene);
  host.loadModule(args.module);
  RenderSetup setup;
  setup.threads = renderThreads(args.threads);
  setup.sceneName = "the demo scene";
  const Frame after = FrameFilter(host, setup).filter(demo.frame);
  const PngTransfer transfer = args.pngTransfer == "srgb" ? PngTransfer::Srgb : PngTransfer::Linear;
  writePng(kDemoOutput, sideBySide(demo.frame, after), transfer);
  std::printf("%s\n", std::filesystem::absolute(kDemoOutput).string().c_str());
  return kExitOk;
}

int renderSingle(const RenderArgs &args, const RenderSetup &setup, Host &host) {
  FrameFilter filter(host, setup);
  ExrReadOptions read = setup.read;
  read.buffers = filter.buffers();
  const bool fromPlanes = namesPlaneFolder(args.frame);
  ExrImage image = readFrameInput(args.frame, read);
  try {
    const Frame colour = filter.filter(image, args.frame, stderr);
    writeOutput(args.out, setup, image, colour, fromPlanes);
  } catch (const std::bad_alloc &) {
    throw Error(args.out + ": out of memory while rendering " + args.frame);
  }
  return kExitOk;
}

int renderSequence(const RenderArgs &args, const RenderSetup &setup, Host &host) {
  if (args.frames.empty()) throw Error("render: a frame pattern needs --frames A-B");
  if (!isFramePattern(args.frame) || !isFramePattern(args.out)) {
    throw Error("render: --frames needs a pattern ('####' or '%04d') in both --frame and --out");
  }
  expandFramePattern(args.frame, 0); // one pattern each, checked before the work
  expandFramePattern(args.out, 0);
  SequenceOptions options;
  options.inPattern = args.frame;
  options.outPattern = args.out;
  options.frames = parseFrameRange(args.frames, "render: --frames");
  if (!args.task.empty()) options.frames = taskFrames(options.frames, args.task, "render: --task");
  options.stopOnError = args.stopOnError;
  // No frame's output may be its own input (or the scene or the module),
  // checked for every frame before any is read.
  for (int number : options.frames) {
    refuseOutputOverInput({{"the output", expandFramePattern(args.out, number)}},
                          {{"the scene", args.scene},
                           {"the frame", expandFramePattern(args.frame, number)},
                           {"the module", args.module}});
  }

  FrameFilter filter(host, setup);
  ExrReadOptions read = setup.read;
  read.buffers = filter.buffers();
  SequenceStages stages;
  stages.read = [&](const std::string &path) { return readExrImage(path, read); };
  stages.filter = [&](ExrImage &image) { return filter.filter(image, "", nullptr); };
  stages.write = [&](const std::string &path, const ExrImage &image, const Frame &colour) {
    writeOutput(path, setup, image, colour, false);
  };
  const SequenceResult result = runSequence(options, stages);
  return result.failed > 0 || result.notRun > 0 ? kExitUserError : kExitOk;
}

int runRender(const RenderArgs &args) {
  if (args.threadsOption->count() > 0 && args.threads == 0) {
    throw Error("render: --threads must be at least 1");
  }
  const int given =
      (args.scene.empty() ? 0 : 1) + (args.frame.empty() ? 0 : 1) + (args.out.empty() ? 0 : 1);
  if (given == 0) return renderDemo(args);
  if (given != 3) {
    throw Error("render: --scene, --frame and --out go together (give none of them to render "
                "the built-in demo)");
  }
  if (!args.task.empty() && args.frames.empty()) throw Error("render: --task needs --frames");
  // Bad names and maps fail before the work, not after it.
  const RenderSetup setup = makeSetup(args);
  if (args.maxPixels == 0) throw Error("render: --max-pixels must be at least 1");
  Imf::setGlobalThreadCount(static_cast<int>(setup.threads));
  const bool sequence = !args.frames.empty() || isFramePattern(args.frame);
  if (!sequence) {
    refuseOutputOverInput(
        {{"the output", args.out}},
        {{"the scene", args.scene}, {"the frame", args.frame}, {"the module", args.module}});
  }

  Scene scene = loadScene(args.scene);
  Host host(std::move(scene));
  host.loadModule(args.module);
  return sequence ? renderSequence(args, setup, host) : renderSingle(args, setup, host);
}

} // namespace

Command addRenderCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "render", "Render a frame or a sequence through the filter of a scene; without "
                "arguments, render the built-in demo into " +
                    std::string(kDemoOutput));
  auto args = std::make_shared<RenderArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene);
  addRenderOptions(*command, *args);
  return {command, [args] { return runRender(*args); }};
}

} // namespace qx::cli
