// The options several qxhost commands share.
#include "command.h"

#include <filesystem>

#include "dynamic_library.h"

namespace qx::cli {

std::string defaultModulePath() {
  const std::string self = executablePath();
  if (self.empty()) return "quintess.p";
  return (std::filesystem::path(self).parent_path() / "quintess.p").string();
}

void addModuleOption(CLI::App &command, std::string &path) {
  path = defaultModulePath();
  command.add_option("--module", path, "The module file to load")->capture_default_str();
}

CLI::Option *addSceneOption(CLI::App &command, std::string &path) {
  return command.add_option("--scene", path, "The scene file (JSON)");
}

} // namespace qx::cli
