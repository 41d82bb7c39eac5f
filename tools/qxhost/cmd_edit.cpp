// qxhost edit: the filter's options panel in a real window, and with a frame
// the render view beside it; or a panel script played through the window's
// widgets, with pictures of the windows.
#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "command.h"
#include "frames/frame_filter.h"
#include "frames/frame_input.h"
#include "scripts/panel_script.h"
#include "stand_in/stand_in_host.h"
#include "window/edit_session.h"
#include "window/window_services.h"

namespace qx::cli {
namespace {

struct EditArgs {
  std::string module;
  std::string scene;
  std::string frame;
  FrameReadOptions read;
  std::string script;
  std::string screenshot;
  std::string dump;
  std::string canvas;
  std::string contentDir;
  unsigned int threads = 0;
  bool save = false;
  bool noSave = false;
  bool force = false;
};

int runEdit(const EditArgs &args) {
  if (!args.screenshot.empty() && args.script.empty()) {
    throw Error("edit: --screenshot needs --script: the pictures are taken when the script has "
                "played");
  }
  FrameReadOptions frame = args.read;
  frame.checkLimits("edit");

  // No output may take the place of an input; the scene itself is the one
  // file a save writes over, on purpose.
  std::vector<NamedPath> inputs = {{"the scene", args.scene},
                                   {"the script", args.script},
                                   {"the frame", args.frame},
                                   {"the module", args.module},
                                   {"the channel map", args.read.chMap}};
  if (namesPlaneFolder(args.frame)) {
    const std::vector<NamedPath> planes =
        planeFiles(args.frame, "the frame's plane", 0, kBufferSlots - 1);
    inputs.insert(inputs.end(), planes.begin(), planes.end());
  }
  std::vector<NamedPath> outputs = {{"the dump", args.dump}, {"the canvas", args.canvas}};
  if (!args.screenshot.empty()) {
    outputs.push_back({"the screenshot", args.screenshot});
    if (!args.frame.empty())
      outputs.push_back({"the render view's screenshot", viewPicturePath(args.screenshot)});
  }
  refuseOutputOverInput(outputs, inputs);
  if (frame.verbose) noteSplitLinks(outputs);

  // The whole script is read and checked before anything else happens.
  PanelScript script = args.script.empty() ? PanelScript() : PanelScript::load(args.script);
  std::vector<NamedPath> scriptOutputs;
  for (const ScriptStep &step : script.steps()) {
    if (step.action == ScriptAction::Dump)
      scriptOutputs.push_back({"the script's dump", step.path});
    if (step.action == ScriptAction::Canvas)
      scriptOutputs.push_back({"the script's canvas", step.path});
  }
  refuseOutputOverInput(scriptOutputs, inputs);
  Scene scene = loadScene(args.scene);

  // The frame, read as render reads it but whole and with every buffer it
  // has: an edit can switch on a layer that reads any of them.
  InputFrame input;
  std::optional<CryptomatteLayer> layer;
  if (!args.frame.empty()) {
    frame.mapChannels("edit");
    input = readViewFrame(args.frame, frame, layer);
  }

  openDisplay();
  Host host(scene);
  if (!args.contentDir.empty()) host.files().setContentDirectory(args.contentDir);
  // The module's own exports may not replace an input either.
  for (const NamedPath &in : inputs) host.files().protectInput(in.role, in.path);
  host.panels().setDisplay(screenMetrics());
  host.loadModule(args.module);

  const std::shared_ptr<const PixelFilter> filter = host.makeFilter();
  PixelFilterInstance instance = host.makeInstance(filter);
  const std::vector<std::string> problems =
      checkSaveOverScene(host, args.scene, args.save, args.force);
  const std::vector<std::string> opened = instance.save();

  EditOptions edit;
  edit.threads = args.threads;
  Frame shown;
  if (!args.frame.empty()) {
    std::bitset<kBufferSlots> warned;
    std::bitset<kBufferSlots> wanted = buffersFor(instance.flags());
    if (layer) wanted.reset(0); // the ids come from the layer
    checkFrameInput(frame, wanted, input.holdings, args.frame, warned);
    shown = input.frame;
    edit.filterInput = std::move(input.frame);
    if (frame.premultiplied()) {
      unpremultiply(edit.filterInput);
      edit.finish = [](const Frame &in, Frame &out) { premultiply(in, out, false); };
    }
    edit.frame = &shown;
    edit.frameName = args.frame;
    edit.windows = input.windows;
    edit.layer = layer;
    edit.ranks = std::move(input.extra);
  }

  // A person at the controls answers the picker, the requester and the
  // messages through dialogs; a script answers them itself, as headless.
  const bool scripted = !args.script.empty();
  if (!scripted) {
    host.picker().askWith(askColour);
    host.files().askWith(askFile);
    host.messages().showWith(showMessage);
  }
  PanelSession session(
      host, std::move(script), [&instance] { return instance.save(); },
      PanelSession::Outputs{args.dump, args.canvas});
  edit.session = &session;
  edit.scripted = scripted;
  edit.scriptName = args.script;
  edit.screenshot = args.screenshot;
  EditSession windows(host, instance, filter, std::move(edit));
  host.panels().setOpenHandler([&windows](Panel &panel) { windows.run(panel); });

  const std::unique_ptr<FilterInterface> ui = host.makeInterface();
  const std::string error = ui->options(instance);
  host.panels().setOpenHandler(nullptr);
  host.picker().cancel();
  host.files().cancel();
  host.messages().showWith(nullptr);
  host.panels().rethrowSessionError();
  if (!error.empty()) throw Error(error);
  if (!session.ran()) throw Error("the module returned without opening its panel");

  const std::vector<std::string> state = instance.save();
  bool save = args.save;
  if (!args.save && !args.noSave && !scripted && state != opened) {
    std::string question = "Save the edited layer stacks into " + args.scene + "?";
    for (const std::string &problem : problems) question += "\n\n" + problem;
    save = askYesNo(question, "Don't save", "Save");
  }
  if (save) {
    scene.filterState = state;
    scene.save(args.scene);
  }
  return kExitOk;
}

} // namespace

Command addEditCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "edit", "Open the filter's options panel in a window, with the render view of a frame "
              "beside it; or play a panel script through the window and take pictures of it");
  auto args = std::make_shared<EditArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene)->required();
  command->add_option("--frame", args->frame,
                      "A frame for the render view: an OpenEXR file (see README, Frames) or a "
                      "folder of .npy planes given with a closing slash");
  addThreadsOption(*command, args->threads,
                   "Threads the render view renders on (default: one per core)");
  addFrameReadOptions(*command, args->read, FrameOptionSet::FrameAndLayer);
  command->add_option("--script", args->script,
                      "Play a panel script (see README) through the window's widgets, then close");
  command->add_option("--screenshot", args->screenshot,
                      "With --script: a PNG of the panel's window when the script has played; "
                      "with --frame the render view's goes beside it, as NAME-view.png");
  command->add_option("--dump", args->dump, "Write the panel's controls as JSON when it closes");
  command->add_option("--canvas", args->canvas,
                      "Write the panel's drawing surface when it closes (PNG, or .npy)");
  CLI::Option *save = command->add_flag("--save", args->save,
                                        "Save the edited state into the scene file without asking");
  command->add_flag("--no-save", args->noSave, "Close without saving and without asking")
      ->excludes(save);
  command->add_flag("--force", args->force,
                    "With --save: save even over a refused filter.state, or when stored stacks "
                    "would be dropped");
  command->add_option("--content-dir", args->contentDir,
                      "The content directory \"Directory Info\" gives (default: the current one)");
  return {command, [args] { return runEdit(*args); }};
}

} // namespace qx::cli
