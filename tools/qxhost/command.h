// What every qxhost command shares: how a command is registered and run, and
// the options several commands take.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "frames/frame_files.h"
#include "frames/frame_input.h"
#include "scene/scene.h"
#include "stand_in/stand_in_host.h"

namespace qx::cli {

// Exit statuses of qxhost.
enum ExitStatus {
  kExitOk = 0,
  kExitFailure = 1,   // something the user could not have caused
  kExitUserError = 2, // a bad command line, scene or module, a file that cannot be written
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
Command addEditCommand(CLI::App &parent);
Command addIdsCommand(CLI::App &parent);
Command addSceneCommand(CLI::App &parent);

// The module file beside the qxhost executable, or, when there is none, the
// installed one in ../lib/quintessalux/ from the executable's folder.
std::string defaultModulePath();
// Adds "--module PATH", defaulting to defaultModulePath(), to a command.
void addModuleOption(CLI::App &command, std::string &path);
// Adds "--scene PATH" to a command.
CLI::Option *addSceneOption(CLI::App &command, std::string &path);

// Which of the frame options a command offers: --max-pixels alone; those
// and --allow-missing, --alpha and --max-memory, with the channel options
// (--ch, --ch-map, --part, --verbose) in the build with OpenEXR; or all of
// these and --cryptomatte LAYER. Each command's frame itself (--frame) is
// its own option, with its own help.
enum class FrameOptionSet { Pixels, Frame, FrameAndLayer };
// Adds the frame options `set` names to a command, into `options`: the one
// place a frame option is offered.
void addFrameReadOptions(CLI::App &command, FrameReadOptions &options, FrameOptionSet set);
// Adds --threads, 1 to kMaxThreads (0 when not given: one per core).
void addThreadsOption(CLI::App &command, unsigned int &threads, const std::string &help);

// Loads the scene file, and warns once per run (one block on stderr) about
// surfaces whose "SpecialBuffer1" is no 32-bit float and so can never match a
// rendered pixel.
Scene loadScene(const std::string &path);

// The stored stacks that opening the panel releases, so that a save would
// lose them: asked of a probe instance loaded with the scene's stored state,
// whose panel opens and closes at once; a stored stack is kept when the same
// value comes back with the same layers. Each lost stack is named with why:
// no surface carries its value, another stored stack of its value is kept,
// or its value is past the values the panel's buffer list shows.
std::vector<std::string> stacksLostOnOpen(Host &host);

// The special-buffer values whose stacks the module keeps once its panel
// has opened over the host's surfaces: asked of a probe instance holding a
// stack for every value, whose panel opens and closes at once, so that the
// host restates none of the module's rules. Throws Error when the module
// gives no panel.
std::vector<double> valuesThePanelReaches(Host &host);

// Before the panel opens for a command that may save into the scene file at
// `scenePath`: a stored state the module refused, and every stored stack
// the save would drop, are reported on stderr. With `save` and without
// `force` either one throws Error, since the save would write over what
// the scene holds. Returns the problems as sentences, for a question to
// the user.
std::vector<std::string> checkSaveOverScene(Host &host, const std::string &scenePath, bool save,
                                            bool force);

} // namespace qx::cli
