// qxhost render in the build without OpenEXR (qxhost.exe): a frame of .npy
// planes through the filter of a scene, written as .npy planes. The build
// with OpenEXR has cmd_render.cpp instead; both parse their options through
// render_frame.h and render through the host library.
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "base/error.h"
#include "command.h"
#include "render_frame.h"

namespace qx::cli {
namespace {

int runRender(const RenderBasics &args) {
  if (!checkRenderBasics(args)) return renderDemo(args);
  const RenderSetup setup = renderSetupFor(args); // a bad name fails before the work
  if (!namesPlaneFolder(args.frame))
    Frame::readExr(args.frame, args.read.maxPixels); // says why not
  refuseOutputOverInput(outputFiles(setup.output, args.out), renderInputs(args, args.frame));

  Scene scene = loadScene(args.scene);
  Host host(std::move(scene));
  host.loadModule(args.module);
  FrameFilter filter(host, setup.frame, setup.run);
  try {
    renderPlaneFrame(args.frame, args.out, setup.frame, setup.output, filter);
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
  auto args = std::make_shared<RenderBasics>();
  addRenderBasics(*command, *args,
                  "The frame to filter: a folder of .npy planes given with a closing slash (see "
                  "README, Frames)",
                  "The output: DIR/ for .npy planes", FrameOptionSet::Frame);
  return {command, [args] { return runRender(*args); }};
}

} // namespace qx::cli
