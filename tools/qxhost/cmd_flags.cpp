// qxhost flags: which buffers the filter of a scene asks the host for.
#include <cstdio>
#include <memory>
#include <string>

#include "base/error.h"
#include "command.h"
#include "frames/frame.h"
#include "stand_in/stand_in_host.h"

namespace qx::cli {
namespace {

struct FlagsArgs {
  std::string module;
  std::string scene;
};

int runFlags(const FlagsArgs &args) {
  Host host(loadScene(args.scene));
  host.loadModule(args.module);
  const PixelFilterInstance instance = host.makeInstance(host.makeFilter());
  const unsigned int mask = instance.flags();
  std::printf("flags: 0x%08X\n", mask);
  for (int buffer = 0; buffer < 32; ++buffer) {
    if ((mask & (1u << buffer)) == 0) continue;
    const char *name = bufferChannelName(buffer);
    std::printf("  %2d  %s\n", buffer, name != nullptr ? name : "(no such host buffer)");
  }
  return kExitOk;
}

} // namespace

Command addFlagsCommand(CLI::App &parent) {
  CLI::App *command =
      parent.add_subcommand("flags", "Show the buffers the filter of a scene asks the host for");
  auto args = std::make_shared<FlagsArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene)->required();
  return {command, [args] { return runFlags(*args); }};
}

} // namespace qx::cli
