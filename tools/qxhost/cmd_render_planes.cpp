// qxhost render in the build without OpenEXR (qxhost.exe): a frame of .npy
// planes through the filter of a scene, written as .npy planes. The build
// with OpenEXR has cmd_render.cpp instead, whose options this one keeps where
// they apply to planes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "command.h"
#include "demo_scene.h"
#include "error.h"
#include "frame.h"
#include "image_io.h"
#include "renderer.h"
#include "stand_in_host.h"

namespace qx::cli {
namespace {

constexpr char kDemoOutput[] = "quintessalux-demo.png";

struct RenderArgs {
  std::string module;
  std::string scene;
  std::string frame;
  std::string out;
  unsigned int threads = 0;
  CLI::Option *threadsOption = nullptr;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  bool ignoreBadState = false;
};

// The buffer's name for messages: its channel, or its number alone.
std::string bufferLabel(int buffer) {
  const char *channel = bufferChannelName(buffer);
  return channel != nullptr
             ? "\"" + std::string(channel) + "\" (buffer " + std::to_string(buffer) + ")"
             : "buffer " + std::to_string(buffer);
}

// Renders `frame` with a filter instance made from the host's scene: created
// from the surfaces, given the stored state, asked for its buffers. Every
// buffer it asks for that the frame lacks is named once on stderr.
Frame renderThroughFilter(Host &host, const Frame &frame, const std::string &frameName,
                          const std::string &sceneName, const RenderArgs &args) {
  PixelFilterInstance instance = host.makeInstance(host.makeFilter());
  // A refused state would render as if the scene had no stacks at all.
  reportStateRefusal(host, sceneName, !args.ignoreBadState,
                     "nothing rendered (--ignore-bad-state renders without the stored stacks)");
  const unsigned int mask = instance.flags();
  for (int buffer : missingBuffers(frame, mask)) {
    std::fprintf(stderr,
                 "qxhost: warning: %s has no channel %s, which the filter asks for; it reads "
                 "0.0\n",
                 frameName.c_str(), bufferLabel(buffer).c_str());
  }
  // The colour needs no request: the filter reads it at every pixel it matches.
  for (int buffer = 32; buffer < 36; ++buffer) {
    if (!frame.has(buffer)) {
      std::fprintf(stderr, "qxhost: warning: %s has no channel %s; it reads 0.0\n",
                   frameName.c_str(), bufferLabel(buffer).c_str());
    }
  }
  RenderOptions options;
  options.threads = args.threads;
  instance.init(0);
  instance.newTime(0, 0.0);
  Frame rendered = renderFrame(
      frame, [&](const HostPixelAccess &access) { instance.evaluate(access); }, options);
  instance.cleanup();
  return rendered;
}

int renderDemo(const RenderArgs &args) {
  DemoScene demo = makeDemoScene();
  Host host(demo.scene);
  host.loadModule(args.module);
  const Frame after =
      renderThroughFilter(host, demo.frame, "the demo frame", "the demo scene", args);
  writePng(kDemoOutput, sideBySide(demo.frame, after));
  std::printf("%s\n", std::filesystem::absolute(kDemoOutput).string().c_str());
  return kExitOk;
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
  if (args.maxPixels == 0) throw Error("render: --max-pixels must be at least 1");
  imageFormatFor(args.out); // a bad name fails before the work, not after it
  refuseOutputOverInput(
      {{"the output", args.out}},
      {{"the scene", args.scene}, {"the frame", args.frame}, {"the module", args.module}});

  Scene scene = loadScene(args.scene);
  const Frame frame = namesPlaneFolder(args.frame) ? Frame::readPlanes(args.frame)
                                                   : Frame::readExr(args.frame, args.maxPixels);
  Host host(std::move(scene));
  host.loadModule(args.module);
  try {
    const Frame rendered = renderThroughFilter(host, frame, args.frame, args.scene, args);
    writeImage(args.out, rendered);
  } catch (const std::bad_alloc &) {
    throw Error(args.out + ": out of memory while rendering " + args.frame);
  }
  return kExitOk;
}

} // namespace

Command addRenderCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "render", "Render a frame through the filter of a scene; without arguments, render the "
                "built-in demo into " +
                    std::string(kDemoOutput));
  auto args = std::make_shared<RenderArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene);
  command->add_option("--frame", args->frame,
                      "The frame to filter: a multi-channel OpenEXR file, or a folder of .npy "
                      "planes given with a closing slash (see README, Frames)");
  command->add_option("--out", args->out,
                      "The output: .exr (R, G, B, A as float), .png (8-bit RGBA), or DIR/ "
                      "for .npy planes");
  args->threadsOption = command->add_option("--threads", args->threads,
                                            "Threads to render with (default: one per core)");
  command
      ->add_option("--max-pixels", args->maxPixels,
                   "The largest frame to read, in pixels; a larger data window is refused before "
                   "anything is allocated")
      ->capture_default_str();
  command->add_flag("--ignore-bad-state", args->ignoreBadState,
                    "Render even when the module refuses the scene's filter.state (without the "
                    "stored stacks)");
  return {command, [args] { return runRender(*args); }};
}

} // namespace qx::cli
