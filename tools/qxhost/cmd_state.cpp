// qxhost state: the filter's stored entries and layers, as the module restores
// them. The scene's state goes into a fresh instance and is saved again, so
// damaged lines show the way the module took them.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "error.h"
#include "stand_in_host.h"

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

std::string layerText(const ModuleNames &names, const std::string &line) {
  int type, active, r, g, b, mode, inBuffer, invert, alphaBuffer, alphaInvert;
  double intensity, alphaIntensity;
  if (std::sscanf(line.c_str(), "%d %d %d %d %d %lf %d %d %d %d %lf %d", &type, &active, &r, &g, &b,
                  &intensity, &mode, &inBuffer, &invert, &alphaBuffer, &alphaIntensity,
                  &alphaInvert) != 12) {
    return "(unreadable: \"" + line + "\")";
  }
  const std::string input =
      "input " + nameOf(names.buffers, inBuffer) + (invert != 0 ? " (inverted)" : "");
  const std::string alpha =
      "alpha " + nameOf(names.buffers, alphaBuffer) + (alphaInvert != 0 ? " (inverted)" : "");
  char text[320];
  std::snprintf(text, sizeof text,
                "%-7s %-3s %-12s color %3d %3d %3d  intensity %6.1f%%  %-31s %s %.1f%%",
                nameOf(names.types, type).c_str(), active != 0 ? "on" : "off",
                nameOf(names.modes, mode).c_str(), r, g, b, intensity, input.c_str(), alpha.c_str(),
                alphaIntensity);
  return text;
}

void printState(const Scene &scene, const ModuleNames &names,
                const std::vector<std::string> &lines) {
  int version = 0, entries = 0, layers = 0;
  if (lines.empty() ||
      std::sscanf(lines[0].c_str(), "%d %d %d", &version, &entries, &layers) != 3) {
    std::printf("state: unreadable header \"%s\"\n", lines.empty() ? "" : lines[0].c_str());
    return;
  }
  std::printf("state: version %d, %d %s, %d %s\n", version, entries,
              entries == 1 ? "entry" : "entries", layers, layers == 1 ? "layer" : "layers");
  std::size_t next = 1;
  for (int e = 0; e < entries && next < lines.size(); ++e) {
    double value = 0.0;
    int count = 0;
    if (std::sscanf(lines[next].c_str(), "%lf %d", &value, &count) != 2) {
      std::printf("entry %d: unreadable \"%s\"\n", e + 1, lines[next].c_str());
      return;
    }
    ++next;
    std::printf("entry %d: SpecialBuffer1 %f, %d %s (%s)\n", e + 1, value, count,
                count == 1 ? "layer" : "layers", surfacesWith(scene, value).c_str());
    for (int l = 0; l < count && next < lines.size(); ++l, ++next) {
      std::printf("  %2d  %s\n", l, layerText(names, lines[next]).c_str());
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
