// The options several qxhost commands share.
#include "command.h"

#include <filesystem>

namespace qx::cli {

std::string defaultModulePath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "quintess.p";
  return (self.parent_path() / "quintess.p").string();
}

void addModuleOption(CLI::App &command, std::string &path) {
  path = defaultModulePath();
  command.add_option("--module", path, "The module file to load")->capture_default_str();
}

CLI::Option *addSceneOption(CLI::App &command, std::string &path) {
  return command.add_option("--scene", path, "The scene file (JSON)");
}

} // namespace qx::cli
