// qxhost planes: an OpenEXR frame as a folder of .npy planes, the form the
// build without OpenEXR reads.
#include <cstdio>
#include <memory>
#include <string>

#include "command.h"
#include "frames/frame.h"

namespace qx::cli {
namespace {

struct PlanesArgs {
  std::string frame;
  std::string outDir;
};

int runPlanes(const PlanesArgs &args) {
  // Which planes the frame holds is known only once it is read: no plane
  // the folder could get may be the frame itself.
  refuseOutputOverInput(planeFiles(args.outDir, "the plane", 0, kBufferSlots - 1),
                        {{"the frame", args.frame}});
  const Frame frame = Frame::readExr(args.frame);
  frame.writePlanes(args.outDir);
  for (int b = 0; b < kBufferSlots; ++b) {
    if (frame.has(b)) std::printf("%s.npy\n", bufferChannelName(b));
  }
  return kExitOk;
}

} // namespace

Command addPlanesCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "planes", "Write an OpenEXR frame's host buffers as .npy planes, one file per channel");
  auto args = std::make_shared<PlanesArgs>();
  command->add_option("--frame", args->frame, "The frame: a multi-channel OpenEXR file")
      ->required();
  command
      ->add_option("--out-dir", args->outDir,
                   "The folder to write \"<channel>.npy\" into (made if missing)")
      ->required();
  return {command, [args] { return runPlanes(*args); }};
}

} // namespace qx::cli
