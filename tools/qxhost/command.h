// What every qxhost command shares: how a command is registered and run, and
// the options several commands take.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace qx::cli {

// Exit statuses of qxhost.
enum ExitStatus {
  kExitOk = 0,
  kExitFailure = 1,   // something the user could not have caused
  kExitUserError = 2, // a bad command line, scene or module
};

// A registered command: its parser, and what runs it once it was chosen.
// `run` returns the exit status and throws qx::Error for what the user can
// fix.
struct Command {
  CLI::App *app;
  std::function<int()> run;
};

// One registration per command file.
Command addInfoCommand(CLI::App &parent);
Command addRenderCommand(CLI::App &parent);
Command addDemoCommand(CLI::App &parent);
Command addFlagsCommand(CLI::App &parent);
Command addStateCommand(CLI::App &parent);
Command addPanelCommand(CLI::App &parent);
Command addPlanesCommand(CLI::App &parent);

// The module file beside the qxhost executable.
std::string defaultModulePath();
// Adds "--module PATH", defaulting to defaultModulePath(), to a command.
void addModuleOption(CLI::App &command, std::string &path);
// Adds "--scene PATH" to a command.
CLI::Option *addSceneOption(CLI::App &command, std::string &path);

} // namespace qx::cli
