// qxhost demo: the built-in demo's scene and frame as files, to show the
// formats and to render them like any other scene.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "base/error.h"
#include "command.h"
#include "frames/demo_scene.h"

namespace qx::cli {
namespace {

struct DemoArgs {
  std::string outDir;
  bool bare = false;
  bool force = false;
};

int runDemo(const DemoArgs &args) {
  const std::filesystem::path dir(args.outDir);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw Error(args.outDir + ": cannot make the folder: " + ec.message());

  DemoScene demo = makeDemoScene();
  // Without the filter's state every entry starts off and empty, ready for
  // its stacks to be built in the panel.
  if (args.bare) demo.scene.filterState.reset();
  const std::string scenePath = (dir / "scene.json").string();
  const std::string framePath = (dir / "frame.exr").string();
  // Both are checked before either is written.
  for (const std::string &path : {scenePath, framePath}) {
    if (!args.force &&
        std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) {
      throw Error(path + ": already exists; --force writes over it");
    }
  }
  demo.scene.save(scenePath);
  demo.frame.writeExr(framePath);
  std::printf("%s\n%s\n", scenePath.c_str(), framePath.c_str());
  return kExitOk;
}

} // namespace

Command addDemoCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "demo", "Write the built-in demo's scene (scene.json) and frame (frame.exr) into a folder");
  auto args = std::make_shared<DemoArgs>();
  command->add_option("--out-dir", args->outDir, "The folder to write into (made if missing)")
      ->required();
  command->add_flag("--bare", args->bare,
                    "Write the scene without its layer stacks, to build them in the panel");
  command->add_flag("--force", args->force, "Write over scene.json and frame.exr if they exist");
  return {command, [args] { return runDemo(*args); }};
}

} // namespace qx::cli
