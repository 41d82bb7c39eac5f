// qxhost state: the filter's stored entries and layers, as the module restores
// them. The scene's state goes into a fresh instance and is saved again, so
// damaged lines show the way the module took them.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "command.h"
#include "scene/state_check.h"
#include "stand_in/stand_in_host.h"

namespace qx::cli {
namespace {

// The names of modes, buffers and layer types, as the module's own panel
// lists them in its "Mode", "Input Buffer" and "LayerType" popups. The host
// keeps no copy of the module's tables: it reads them from a panel opened on
// a fresh instance and closed at once. Empty when the module gives no panel;
// numbers then stand in for the names.
struct ModuleNames {
  std::vector<std::string> modes, buffers, types;
};

ModuleNames namesFromPanel(Host &host) {
  ModuleNames names;
  host.panels().setOpenHandler([&names](Panel &panel) {
    for (std::size_t i = 0; i < panel.controlCount(); ++i) {
      const PanelControl &control = panel.control(i);
      if (control.label() == "Mode") names.modes = control.items();
      if (control.label() == "Input Buffer") names.buffers = control.items();
      if (control.label() == "LayerType") names.types = control.items();
    }
  });
  try {
    const std::unique_ptr<FilterInterface> ui = host.makeInterface();
    const PixelFilterInstance probe(host.makeFilter()); // nothing loaded into it
    ui->options(probe);
  } catch (const Error &) {
    names = ModuleNames{};
  }
  host.panels().setOpenHandler(nullptr);
  return names;
}

std::string nameOf(const std::vector<std::string> &names, int index) {
  if (index >= 0 && static_cast<std::size_t>(index) < names.size()) return names[index];
  if (names.empty()) return "#" + std::to_string(index);
  return "(unknown " + std::to_string(index) + ")";
}

struct StateArgs {
  std::string module;
  std::string scene;
  bool raw = false;
  bool ignoreBadState = false;
};

// The surfaces of the scene that carry a special-buffer value.
std::string surfacesWith(const Scene &scene, double value) {
  std::string names;
  for (const SceneSurface &surface : scene.surfaces) {
    if (surface.specialBuffer && *surface.specialBuffer == value) {
      names += (names.empty() ? "" : ", ") + surface.name;
    }
  }
  return names.empty() ? "no surface" : names;
}

std::string layerText(const ModuleNames &names, const StoredLayer &layer) {
  const std::string input =
      "input " + nameOf(names.buffers, layer.inBuffer) + (layer.invert != 0 ? " (inverted)" : "");
  const std::string alpha = "alpha " + nameOf(names.buffers, layer.alphaBuffer) +
                            (layer.alphaInvert != 0 ? " (inverted)" : "");
  char text[320];
  std::snprintf(text, sizeof text,
                "%-7s %-3s %-12s color %3d %3d %3d  intensity %6.1f%%  %-31s %s %.1f%%",
                nameOf(names.types, layer.type).c_str(), layer.active != 0 ? "on" : "off",
                nameOf(names.modes, layer.mode).c_str(), layer.red, layer.green, layer.blue,
                layer.intensity, input.c_str(), alpha.c_str(), layer.alphaIntensity);
  return text;
}

// The lines are the module's own save, read through the host's one reader
// of stored state.
void printState(const Scene &scene, const ModuleNames &names,
                const std::vector<std::string> &lines) {
  if (const std::optional<StateProblem> problem = checkStateLines(lines)) {
    std::printf("state: unreadable line %zu \"%s\": %s\n", problem->line, problem->text.c_str(),
                problem->reason.c_str());
    return;
  }
  const std::vector<StoredEntry> entries = storedEntries(lines);
  std::size_t layers = 0;
  for (const StoredEntry &entry : entries) layers += entry.stack.size();
  std::printf("state: version %d, %zu %s, %zu %s\n", kStateVersion, entries.size(),
              entries.size() == 1 ? "entry" : "entries", layers, layers == 1 ? "layer" : "layers");
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const StoredEntry &entry = entries[e];
    std::printf("entry %zu: SpecialBuffer1 %f, %zu %s (%s)\n", e + 1, entry.value,
                entry.stack.size(), entry.stack.size() == 1 ? "layer" : "layers",
                surfacesWith(scene, entry.value).c_str());
    for (std::size_t l = 0; l < entry.stack.size(); ++l) {
      std::printf("  %2zu  %s\n", l, layerText(names, entry.stack[l]).c_str());
    }
  }
}

int runState(const StateArgs &args) {
  Host host(loadScene(args.scene));
  host.loadModule(args.module);
  const PixelFilterInstance instance = host.makeInstance(host.makeFilter());
  reportStateRefusal(host, args.scene, !args.ignoreBadState,
                     "--ignore-bad-state shows what the instance holds instead");
  const std::vector<std::string> lines = instance.save();
  if (args.raw) {
    for (const std::string &line : lines) std::printf("%s\n", line.c_str());
  } else {
    printState(host.scene(), namesFromPanel(host), lines);
  }
  return kExitOk;
}

} // namespace

Command addStateCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "state", "Show the filter's stored entries and layers as the module restores them");
  auto args = std::make_shared<StateArgs>();
  addModuleOption(*command, args->module);
  addSceneOption(*command, args->scene)->required();
  command->add_flag("--raw", args->raw, "Print the saved scene-state lines as they are");
  command->add_flag("--ignore-bad-state", args->ignoreBadState,
                    "Show what the instance holds even when the module refuses the stored state");
  return {command, [args] { return runState(*args); }};
}

} // namespace qx::cli
