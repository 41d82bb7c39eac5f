// qxhost render: a frame through the filter of a scene, or, without
// arguments, the built-in demo before and after.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "command.h"
#include "demo_scene.h"
#include "error.h"
#include "frame.h"
#include "host.h"
#include "image_io.h"
#include "renderer.h"

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
                          unsigned int threads) {
  PixelFilterInstance instance = host.makeInstance(host.makeFilter());
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
  options.threads = threads;
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
  const Frame after = renderThroughFilter(host, demo.frame, "the demo frame", args.threads);
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
  imageFormatFor(args.out); // a bad name fails before the work, not after it

  Scene scene = Scene::load(args.scene);
  const Frame frame =
      namesPlaneFolder(args.frame) ? Frame::readPlanes(args.frame) : Frame::readExr(args.frame);
  Host host(std::move(scene));
  host.loadModule(args.module);
  const Frame rendered = renderThroughFilter(host, frame, args.frame, args.threads);
  writeImage(args.out, rendered);
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
  return {command, [args] { return runRender(*args); }};
}

} // namespace qx::cli
