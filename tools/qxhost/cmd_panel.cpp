// qxhost panel: opens the filter's options panel headless and plays a
// scripted session on it, with dumps of the controls and pictures of the
// panel's drawing.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "command.h"
#include "scripts/panel_script.h"
#include "stand_in/stand_in_host.h"

namespace qx::cli {
namespace {

struct PanelArgs {
  std::string module;
  std::string scene;
  std::string script;
  std::string dump;
  std::string canvas;
  std::string contentDir;
  std::vector<std::string> without;
  std::vector<std::string> refuse;
  bool save = false;
  bool force = false;
};

int runPanel(const PanelArgs &args) {
  // No output may take the place of an input; the scene itself is the one
  // file --save writes over, on purpose.
  const std::vector<NamedPath> inputs = {
      {"the scene", args.scene}, {"the script", args.script}, {"the module", args.module}};
  refuseOutputOverInput({{"the dump", args.dump}, {"the canvas", args.canvas}}, inputs);

  // The whole script is read and checked before anything else happens.
  PanelScript script = args.script.empty() ? PanelScript() : PanelScript::load(args.script);
  std::vector<NamedPath> scriptOutputs;
  for (const ScriptStep &step : script.steps()) {
    if (step.action == ScriptAction::Dump)
      scriptOutputs.push_back({"the script's dump", step.path});
    if (step.action == ScriptAction::Canvas) {
      scriptOutputs.push_back({"the script's canvas", step.path});
    }
  }
  refuseOutputOverInput(scriptOutputs, inputs);
  // The scenes `reopen` lines name are read before the first event too.
  std::vector<NamedPath> outputs = scriptOutputs;
  outputs.push_back({"the dump", args.dump});
  outputs.push_back({"the canvas", args.canvas});
  std::map<std::string, Scene> reopenScenes;
  for (const ScriptStep &step : script.steps()) {
    if (step.action != ScriptAction::Reopen || step.path.empty()) continue;
    refuseOutputOverInput(outputs, {{"a scene the script reopens on", step.path}});
    if (reopenScenes.count(step.path) == 0) reopenScenes.emplace(step.path, loadScene(step.path));
  }
  std::vector<ControlKind> refused;
  for (const std::string &name : args.refuse) {
    ControlKind kind;
    if (!controlKindFromName(name, kind)) {
      throw Error("--refuse-control: no control kind \"" + name +
                  "\" (ListBoxControl, BoolControl, ButtonControl, PopupControl, "
                  "MiniRGBControl, PercentControl, AreaControl)");
    }
    refused.push_back(kind);
  }
  Scene scene = loadScene(args.scene);

  Host::Options options;
  options.withdraw.insert(args.without.begin(), args.without.end());
  Host host(scene, options);
  if (!args.contentDir.empty()) host.files().setContentDirectory(args.contentDir);
  // The module's own exports may not replace an input either.
  for (const NamedPath &input : inputs) host.files().protectInput(input.role, input.path);
  for (const auto &reopened : reopenScenes)
    host.files().protectInput("a scene the script reopens on", reopened.first);
  for (const ControlKind kind : refused) host.panels().refuseKind(kind);
  host.loadModule(args.module);

  PixelFilterInstance instance = host.makeInstance(host.makeFilter());
  checkSaveOverScene(host, args.scene, args.save, args.force);
  const std::unique_ptr<FilterInterface> ui = host.makeInterface();

  PanelSession session(
      host, std::move(script), [&instance] { return instance.save(); },
      PanelSession::Outputs{args.dump, args.canvas});
  host.panels().setOpenHandler([&session](Panel &panel) { session.run(panel); });

  std::string error = ui->options(instance);
  while (error.empty() && session.reopenRequested()) {
    if (!session.reopenScene().empty()) {
      const Scene &next = reopenScenes.at(session.reopenScene());
      host.setScene(next);
      if (next.filterState) instance.load(*next.filterState);
    }
    error = ui->options(instance);
  }
  host.panels().setOpenHandler(nullptr);
  // A session that failed (a script line that does not fit the panel, a
  // file that cannot be written) is reported before what the module said.
  host.panels().rethrowSessionError();
  if (!error.empty()) throw Error(error);
  if (!session.ran()) throw Error("the module returned without opening its panel");

  if (args.save) {
    scene.filterState = instance.save();
    scene.save(args.scene);
  }
  return kExitOk;
}

} // namespace

Command addPanelCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "panel", "Open the filter's options panel headless and play a scripted session on it");
  auto args = std::make_shared<PanelArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene)->required();
  command->add_option("--script", args->script,
                      "The session's events, one a line (see README); - reads standard input");
  command->add_option("--dump", args->dump, "Write the panel's controls as JSON when it closes");
  command->add_option("--canvas", args->canvas,
                      "Write the panel's picture when it closes: PNG, or .npy bytes for a name "
                      "ending in .npy");
  command->add_flag("--save", args->save,
                    "Write the instance's state back into the scene file's filter.state");
  command->add_flag("--force", args->force,
                    "With --save: save even over a refused filter.state, or when stored stacks "
                    "would be dropped");
  command->add_option("--without", args->without,
                      "Run without a host service, e.g. \"LWPanelServices\" (repeatable)");
  command->add_option("--refuse-control", args->refuse,
                      "Make no control of this kind when the module asks, e.g. AreaControl, as "
                      "a host without it (repeatable)");
  command->add_option("--content-dir", args->contentDir,
                      "The content directory \"Directory Info\" gives (default: the current one)");
  return {command, [args] { return runPanel(*args); }};
}

} // namespace qx::cli
