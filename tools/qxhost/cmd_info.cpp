// qxhost info: what the module says about itself, and whether its servers
// activate.
#include <cstdio>
#include <memory>
#include <string>

#include "base/error.h"
#include "command.h"
#include "stand_in/stand_in_host.h"

namespace qx::cli {
namespace {

struct InfoArgs {
  std::string module;
  std::string scene;
};

// Activates one server the way a host would and says how it went.
std::string activationResult(const Host &host, const ServerEntry &server) {
  try {
    if (server.className == HOST_CLASS_PIXEL_FILTER) {
      host.makeFilter(server.name);
    } else if (server.className == HOST_CLASS_PIXEL_FILTER_UI) {
      host.makeInterface(server.name);
    } else {
      return "not tried (class unknown to this host)";
    }
  } catch (const ActivationError &e) {
    return "refused (status " + std::to_string(e.status()) + ")";
  }
  return "ok";
}

int runInfo(const InfoArgs &args) {
  Scene scene = args.scene.empty() ? Scene{} : loadScene(args.scene);
  Host host(std::move(scene));
  const ModuleLibrary &module = host.loadModule(args.module);
  const HostModuleDescriptor &words = module.descriptor();

  std::printf("module: %s\n", module.path().c_str());
  std::printf("descriptor: sync 0x%08X  version 0x%08X  machine 0x%08X\n", words.sync,
              words.version, words.machine);
  std::printf("start-up: %d\n", module.startupResult());

  std::size_t classWidth = 0, nameWidth = 0;
  for (const ServerEntry &server : module.servers()) {
    classWidth = std::max(classWidth, server.className.size());
    nameWidth = std::max(nameWidth, server.name.size());
  }
  std::printf("servers: %zu\n", module.servers().size());
  bool filterActive = false;
  for (const ServerEntry &server : module.servers()) {
    const std::string result = activationResult(host, server);
    std::printf("  %-*s  %-*s  activate: %s\n", static_cast<int>(classWidth),
                server.className.c_str(), static_cast<int>(nameWidth), server.name.c_str(),
                result.c_str());
    if (server.className == HOST_CLASS_PIXEL_FILTER && server.name == kFilterServerName &&
        result == "ok") {
      filterActive = true;
    }
  }

  // An instance made from the scene shows that the filter works end to end.
  if (filterActive) {
    PixelFilterInstance instance = host.makeInstance(host.makeFilter());
    std::printf("instance: \"%s\"  surfaces %zu  flags 0x%08X\n", instance.describe().c_str(),
                host.surfaces().count(), instance.flags());
  }
  return kExitOk;
}

} // namespace

Command addInfoCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "info", "Show the module's descriptor and servers, and activate each server");
  auto args = std::make_shared<InfoArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene);
  return {command, [args] { return runInfo(*args); }};
}

} // namespace qx::cli
