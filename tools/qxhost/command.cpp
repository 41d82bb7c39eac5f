// The options several qxhost commands share.
#include "command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "base/error.h"
#include "base/safe_write.h"
#include "frames/frame.h"
#include "frames/renderer.h"
#include "loader/dynamic_library.h"
#include "scene/cryptomatte.h"
#include "scene/state_check.h"

namespace qx::cli {

std::string defaultModulePath() {
  const std::string self = executablePath();
  if (self.empty()) return "quintess.p";
  const std::filesystem::path folder = std::filesystem::path(self).parent_path();
  const std::filesystem::path beside = folder / "quintess.p";
  // Installed, qxhost sits in bin/ and the module in lib/quintessalux/; in
  // the build tree (and the Windows zip) the module sits beside it.
  const std::filesystem::path installed =
      folder.parent_path() / "lib" / "quintessalux" / "quintess.p";
  std::error_code ec;
  if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(installed, ec)) {
    return installed.lexically_normal().string();
  }
  return beside.string();
}

void addModuleOption(CLI::App &command, std::string &path) {
  path = defaultModulePath();
  command.add_option("--module", path, "The module file to load")->capture_default_str();
}

CLI::Option *addSceneOption(CLI::App &command, std::string &path) {
  return command.add_option("--scene", path, "The scene file (JSON)");
}

void addFrameReadOptions(CLI::App &command, FrameReadOptions &options, FrameOptionSet set) {
  const auto addMaxPixels = [&] {
    command
        .add_option("--max-pixels", options.maxPixels,
                    "The largest frame to read, in pixels; a larger data window is refused before "
                    "anything is allocated")
        ->capture_default_str();
  };
  if (set == FrameOptionSet::Pixels) {
    addMaxPixels();
    return;
  }
  command.add_flag("--allow-missing", options.allowMissing,
                   "A missing colour or special-buffer channel reads 0.0 (with a warning) "
                   "instead of being an error");
  command
      .add_option("--alpha", options.alpha,
                  "straight (default): the colour is filtered as it is; premultiplied: "
                  "divided by A before the filter and multiplied after, A = 0 untouched")
      ->check(CLI::IsMember({"straight", "premultiplied"}));
  addMaxPixels();
  command
      .add_option("--max-memory", options.maxMemory,
                  "The most memory a frame may take: bytes, or K, M, G with or without iB (e.g. "
                  "512M); strips and decoding threads are reduced to fit, and a frame that "
                  "cannot fit is refused before its pixels are read")
      ->capture_default_str();
#if QX_WITH_EXR
  command.add_option("--ch", options.ch,
                     "Map host buffers to channels: BUFFER=CHANNEL,... or BUFFER=NUMBER for a "
                     "constant, e.g. SpecialBuffer=objectId,R=ViewLayer.Combined.R,Shadow=1.0");
  command.add_option("--ch-map", options.chMap,
                     "A JSON channel map {\"BUFFER\": \"CHANNEL\" or number}; --ch overrides it");
  command.add_option("--part", options.part,
                     "The part of a multi-part file, by name or number (default: each channel "
                     "is looked for in every part)");
  command.add_flag("--verbose", options.verbose,
                   "Say which channel and part each buffer is read from, how many pixels the "
                   "filter wrote for each stored entry, and which output has other names (hard "
                   "links) that keep the old content");
  options.missingHint = "map them with --ch or --ch-map, or give --allow-missing";
#endif
  if (set == FrameOptionSet::FrameAndLayer) {
    command.add_option("--cryptomatte", options.cryptomatte,
                       "Take each pixel's ids from this Cryptomatte layer (e.g. CryptoObject) "
                       "instead of the special-buffer channel: the pixel is filtered once for "
                       "each id that covers it, and the results mixed by coverage (soft edges)");
  }
}

void addThreadsOption(CLI::App &command, unsigned int &threads, const std::string &help) {
  command.add_option("--threads", threads, help + " (1 to " + std::to_string(kMaxThreads) + ")")
      ->check(CLI::Range(1u, kMaxThreads));
}

namespace {

// The most surfaces the warning names one by one.
constexpr std::size_t kNamedSurfaces = 10;

// Surfaces, and stored entries, whose special-buffer value is no 32-bit
// float. The renderer's buffer holds floats, and the filter compares
// exactly, so such a value is never matched by any pixel. The hint gives
// the nearest float as the shortest text that reads back as exactly it.
void warnUnmatchableValues(const std::string &path, const Scene &scene) {
  static bool warned = false;
  if (warned) return;
  std::vector<std::string> lines;
  std::size_t count = 0;
  const auto check = [&](const std::string &what, double value) {
    const double nearest = static_cast<double>(static_cast<float>(value));
    if (nearest == value || std::isnan(value)) return;
    if (++count > kNamedSurfaces) return;
    lines.push_back("  " + what + ": " + exactText(value) + ", nearest float " +
                    exactText(nearest));
  };
  // Stored entries first: each holds a stack that would never be applied.
  if (scene.filterState) {
    const std::vector<double> entries = storedEntryValues(*scene.filterState);
    for (std::size_t e = 0; e < entries.size(); ++e) {
      check("filter.state entry " + std::to_string(e + 1), entries[e]);
    }
  }
  for (const SceneSurface &surface : scene.surfaces) {
    if (surface.specialBuffer) check("\"" + surface.name + "\"", *surface.specialBuffer);
  }
  if (count == 0) return;
  warned = true;
  std::fprintf(stderr,
               "qxhost: warning: %s: %zu special-buffer %s no 32-bit float; the rendered buffer "
               "holds floats, so no pixel can match:\n",
               path.c_str(), count, count == 1 ? "value is" : "values are");
  for (const std::string &line : lines) std::fprintf(stderr, "%s\n", line.c_str());
  if (count > kNamedSurfaces) std::fprintf(stderr, "  and %zu more\n", count - kNamedSurfaces);
}

} // namespace

Scene loadScene(const std::string &path) {
  Scene scene = Scene::load(path);
  warnUnmatchableValues(path, scene);
  return scene;
}

namespace {

// A probe instance given stored lines, whose panel opened and closed at once
// over the host's surfaces: what it saved before and after, and how many
// special-buffer values its buffer list showed.
struct PanelProbe {
  std::vector<std::string> loaded; // saved right after the load
  std::vector<std::string> closed; // saved once the panel had closed
  std::size_t listed = 0;          // rows of the buffer list while it was open
  std::string refused;             // what the module said instead of opening, if anything
};

PanelProbe probePanel(Host &host, const std::vector<std::string> &lines) {
  PanelProbe probe;
  host.panels().setOpenHandler([&probe](Panel &panel) {
    for (std::size_t i = 0; i < panel.controlCount(); ++i) {
      const PanelControl &control = panel.control(i);
      if (control.label() == "BufferList") probe.listed = control.rows().size();
    }
  });
  try {
    const std::unique_ptr<FilterInterface> ui = host.makeInterface();
    PixelFilterInstance instance(host.makeFilter());
    instance.load(lines);
    probe.loaded = instance.save();
    probe.refused = ui->options(instance);
    probe.closed = instance.save();
  } catch (...) {
    host.panels().setOpenHandler(nullptr);
    throw;
  }
  host.panels().setOpenHandler(nullptr);
  return probe;
}

// The distinct special-buffer values the surfaces carry, in surface order:
// the order of the panel's buffer list.
std::vector<double> carriedValues(const Scene &scene) {
  std::vector<double> values;
  for (const SceneSurface &surface : scene.surfaces) {
    if (surface.specialBuffer &&
        std::find(values.begin(), values.end(), *surface.specialBuffer) == values.end()) {
      values.push_back(*surface.specialBuffer);
    }
  }
  return values;
}

} // namespace

std::vector<std::string> stacksLostOnOpen(Host &host) {
  std::vector<std::string> lost;
  const Scene &scene = host.scene();
  if (!scene.filterState) return lost;
  const std::vector<StoredEntry> stored = storedEntries(*scene.filterState);
  if (stored.empty()) return lost;
  const PanelProbe probe = probePanel(host, *scene.filterState);
  // The stacks as the module holds them, in stored order (an entry without
  // layers holds nothing to lose, and the module saves none), and those that
  // came back after the panel's rebuild, each claimed once.
  const std::vector<StoredEntry> loaded = storedEntries(probe.loaded);
  std::vector<StoredEntry> back = storedEntries(probe.closed);
  const std::vector<double> carried = carriedValues(scene);
  std::vector<bool> kept(stored.size(), true);
  std::size_t next = 0;
  for (std::size_t i = 0; i < stored.size() && next < loaded.size(); ++i) {
    if (stored[i].stack.empty()) continue;
    const StoredEntry &held = loaded[next++];
    const auto found = std::find_if(back.begin(), back.end(), [&held](const StoredEntry &e) {
      return e.value == held.value && e.stack == held.stack;
    });
    if (found != back.end()) {
      back.erase(found);
    } else {
      kept[i] = false;
    }
  }
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (kept[i]) continue;
    const double value = stored[i].value;
    char number[64];
    std::snprintf(number, sizeof number, "%f", value);
    const std::string stack =
        "the stored stack of " + std::string(number) + " (entry " + std::to_string(i + 1) + ")";
    const auto sameValueKept = [&](std::size_t from, std::size_t to) {
      for (std::size_t j = from; j < to; ++j) {
        if (j != i && kept[j] && !stored[j].stack.empty() && stored[j].value == value) return true;
      }
      return false;
    };
    const auto at = std::find(carried.begin(), carried.end(), value);
    if (at == carried.end()) {
      lost.push_back(stack + ": no surface carries " + number + " any more");
    } else if (sameValueKept(0, i)) {
      lost.push_back(stack + ": an earlier stored stack has the same value");
    } else if (sameValueKept(i + 1, stored.size())) {
      lost.push_back(stack + ": a later stored stack of the same value is kept");
    } else if (static_cast<std::size_t>(at - carried.begin()) >= probe.listed) {
      lost.push_back(stack + ": past the first " + std::to_string(probe.listed) +
                     " special-buffer values");
    } else {
      lost.push_back(stack + ": the panel released it when it opened");
    }
  }
  return lost;
}

std::vector<std::string> checkSaveOverScene(Host &host, const std::string &scenePath, bool save,
                                            bool force) {
  std::vector<std::string> problems;
  // A save over a refused state would write the instance's empty entries
  // where the stored stacks were.
  if (reportStateRefusal(host, scenePath, save && !force,
                         "not opened, so as not to save over it (--force saves anyway)")) {
    problems.push_back("The module refused the stored state; the save writes the edited state "
                       "in its place.");
    return problems;
  }
  const std::vector<std::string> lost = stacksLostOnOpen(host);
  if (!save && !lost.empty()) {
    for (const std::string &stack : lost) problems.push_back("The save drops " + stack + ".");
    return problems;
  }
  for (const std::string &stack : lost) {
    std::fprintf(stderr, "qxhost: %s%s: the save would drop %s\n", force ? "warning: " : "",
                 scenePath.c_str(), stack.c_str());
  }
  if (!lost.empty() && !force) {
    throw Error(scenePath + ": not opened, so as not to save without " +
                (lost.size() == 1 ? std::string("that stack") : "those stacks") +
                " (--force saves anyway)");
  }
  return problems;
}

std::vector<double> valuesThePanelReaches(Host &host) {
  // The probe holds a one-layer stack for every value a surface carries, up
  // to what a stored state can hold; the stacks still there after its panel
  // has opened and closed are the ones the panel reaches.
  std::vector<double> values = carriedValues(host.scene());
  if (values.size() > static_cast<std::size_t>(kStateMaxEntries)) values.resize(kStateMaxEntries);
  std::vector<std::string> lines = {std::to_string(kStateVersion) + " " +
                                    std::to_string(values.size()) + " " +
                                    std::to_string(values.size())};
  for (double value : values) {
    lines.push_back(exactText(value) + " 1 ");
    lines.push_back("0 1 255 255 255 100.000000 0 0 0 0 100.000000 0");
  }
  const PanelProbe probe = probePanel(host, lines);
  if (!probe.refused.empty()) throw Error("the module opened no panel: " + probe.refused);
  return storedEntryValues(probe.closed);
}

} // namespace qx::cli
