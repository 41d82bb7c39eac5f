// qxhost scene --from: a scene made from a render's Cryptomatte layer, one
// surface for each object its manifest names, with the object's exact id as
// its special-buffer value and its mean colour in the frame as its base
// colour.
#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "command.h"
#include "frames/frame_input.h"
#include "frames/object_ids.h"
#include "scene/cryptomatte.h"

namespace qx::cli {
namespace {

struct SceneArgs {
  std::string frame;
  FrameReadOptions read;
  std::string module;
  std::string layer;
  std::vector<std::string> match;
  std::string out;
  bool force = false;
};

bool matches(const std::vector<std::string> &globs, const std::string &name) {
  if (globs.empty()) return true;
  return std::any_of(globs.begin(), globs.end(), [&](const std::string &glob) {
    return fnmatch(glob.c_str(), name.c_str(), 0) == 0;
  });
}

// The surfaces of `scene` whose stacks the panel cannot reach: the module is
// asked, through a probe instance whose panel opens and closes at once, which
// special-buffer values it keeps entries for.
std::vector<std::string> unreachableSurfaces(const std::string &module, const Scene &scene) {
  Host host(scene);
  host.loadModule(module);
  const std::vector<double> reached = valuesThePanelReaches(host);
  std::vector<std::string> names;
  for (const SceneSurface &surface : scene.surfaces) {
    if (surface.specialBuffer &&
        std::find(reached.begin(), reached.end(), *surface.specialBuffer) == reached.end()) {
      names.push_back(surface.name);
    }
  }
  return names;
}

int runScene(const SceneArgs &args) {
  FrameReadOptions reading = args.read;
  reading.checkLimits("scene");
  if (args.layer.empty()) throw Error("scene: --from needs --cryptomatte LAYER");
  refuseOutputOverInput({{"the scene", args.out}}, {{"the frame", args.frame},
                                                    {"the module", args.module},
                                                    {"the channel map", args.read.chMap}});
  std::error_code ec;
  if (!args.force && std::filesystem::exists(args.out, ec)) {
    throw Error(args.out + ": already exists; --force writes over it");
  }
  reading.mapChannels("scene");
  const auto warn = [](const std::string &w) {
    std::fprintf(stderr, "qxhost: warning: %s\n", w.c_str());
  };
  const std::vector<CryptomatteLayer> layers = readCryptomatteLayers(args.frame, warn);
  const CryptomatteLayer &layer = findCryptomatteLayer(layers, args.layer, args.frame);
  if (layer.manifest.empty()) {
    throw Error(args.frame + ": layer \"" + layer.name +
                "\" carries no manifest, so its objects have no names");
  }

  const LayerCensus census = takeColourCensus(args.frame, layer, reading);

  // The objects that matter most first, so that they fill the rows the panel
  // shows; then by name.
  struct Row {
    const CryptomatteName *entry;
    IdTotals totals;
  };
  std::vector<Row> rows;
  for (const CryptomatteName &entry : layer.manifest) {
    if (!matches(args.match, entry.name)) continue;
    const auto found = census.ids.find(entry.hash);
    rows.push_back({&entry, found == census.ids.end() ? IdTotals{} : found->second});
  }
  if (rows.empty()) {
    throw Error(args.frame + ": no name of layer \"" + layer.name + "\" matches --match");
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
    if (a.totals.coverage != b.totals.coverage) return a.totals.coverage > b.totals.coverage;
    return a.entry->name < b.entry->name;
  });

  Scene scene;
  for (const Row &row : rows) {
    SceneSurface surface;
    surface.name = row.entry->name;
    surface.specialBuffer = static_cast<double>(cryptomatteFloat(row.entry->hash));
    std::array<double, 3> base{0.5, 0.5, 0.5}; // no coverage in this frame: mid grey
    if (row.totals.coverage > 0.0) {
      for (int c = 0; c < 3; ++c) {
        base[static_cast<std::size_t>(c)] =
            std::clamp(row.totals.colour[c] / row.totals.coverage, 0.0, 1.0);
      }
    }
    surface.baseColor = base;
    scene.surfaces.push_back(std::move(surface));
  }

  const std::vector<std::string> unreachable = unreachableSurfaces(args.module, scene);
  if (!unreachable.empty()) {
    std::string names;
    for (const std::string &name : unreachable) names += (names.empty() ? "" : ", ") + name;
    std::fprintf(stderr,
                 "qxhost: warning: %s: the panel lists the first special-buffer values only; "
                 "the stacks of %zu surfaces cannot be reached there (--match narrows the "
                 "scene): %s\n",
                 args.out.c_str(), unreachable.size(), names.c_str());
  }
  scene.save(args.out);
  std::printf("%s: %zu surfaces from layer \"%s\" of %s\n", args.out.c_str(), scene.surfaces.size(),
              layer.name.c_str(), args.frame.c_str());
  return kExitOk;
}

} // namespace

Command addSceneCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "scene", "Make a scene from a render: one surface for each object a Cryptomatte layer's "
               "manifest names, its id as SpecialBuffer1, its mean colour as BaseColor");
  auto args = std::make_shared<SceneArgs>();
  addModuleOption(*command, args->module);
  command->add_option("--from", args->frame, "The render: an OpenEXR file")->required();
  command->add_option("--cryptomatte", args->layer, "The layer, e.g. CryptoObject")->required();
  command->add_option("--match", args->match,
                      "Only the names that match this glob, e.g. 'chair*' (repeatable)");
  command->add_option("--out", args->out, "The scene file to write (JSON)")->required();
  command->add_flag("--force", args->force, "Write over an existing scene file");
  addFrameReadOptions(*command, args->read, FrameOptionSet::Frame);
  return {command, [args] { return runScene(*args); }};
}

} // namespace qx::cli
