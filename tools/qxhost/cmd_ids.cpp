// qxhost ids: the objects a render names through its Cryptomatte layers,
// each with its id, the exact value a scene gives it, and its coverage in
// the frame.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "command.h"
#include "frames/frame_input.h"
#include "frames/object_ids.h"
#include "scene/cryptomatte.h"

namespace qx::cli {
namespace {

struct IdsArgs {
  std::string frame;
  std::string layer;
  bool json = false;
  FrameReadOptions read; // --max-pixels alone
};

// One row of the listing.
struct IdRow {
  const std::string *name; // null: in the pixels, not in the manifest
  std::uint32_t hash;
  double coverage;
};

// The manifest's names, then the ids the pixels hold that it lacks; each
// group by coverage, most first, then by name or id.
std::vector<IdRow> rowsOf(const LayerCensus &census) {
  std::vector<IdRow> named, unnamed;
  for (const CryptomatteName &entry : census.layer.manifest) {
    const auto found = census.ids.find(entry.hash);
    named.push_back(
        {&entry.name, entry.hash, found == census.ids.end() ? 0.0 : found->second.coverage});
  }
  for (const auto &[hash, totals] : census.ids) {
    if (census.layer.nameOf(hash) == nullptr) unnamed.push_back({nullptr, hash, totals.coverage});
  }
  const auto order = [](const IdRow &a, const IdRow &b) {
    if (a.coverage != b.coverage) return a.coverage > b.coverage;
    if (a.name != nullptr && b.name != nullptr && *a.name != *b.name) return *a.name < *b.name;
    return a.hash < b.hash;
  };
  std::stable_sort(named.begin(), named.end(), order);
  std::stable_sort(unnamed.begin(), unnamed.end(), order);
  named.insert(named.end(), unnamed.begin(), unnamed.end());
  return named;
}

int runIds(const IdsArgs &args) {
  std::vector<CryptomatteLayer> layers =
      readCryptomatteLayers(args.frame, [](const std::string &w) {
        std::fprintf(stderr, "qxhost: warning: %s\n", w.c_str());
      });
  if (!args.layer.empty()) {
    layers = {findCryptomatteLayer(layers, args.layer, args.frame)};
  } else if (layers.empty()) {
    throw Error(args.frame +
                ": holds no Cryptomatte layer (no \"cryptomatte/<key>/name\" attribute)");
  }
  const std::vector<LayerCensus> census =
      takeIdCensus(args.frame, layers, exrReadOptionsFor(args.read, {}));

  if (args.json) {
    nlohmann::ordered_json out;
    out["layers"] = nlohmann::ordered_json::array();
    for (const LayerCensus &layer : census) {
      nlohmann::ordered_json ids = nlohmann::ordered_json::array();
      for (const IdRow &row : rowsOf(layer)) {
        ids.push_back({{"name", row.name != nullptr ? nlohmann::ordered_json(*row.name) : nullptr},
                       {"hash", hashText(row.hash)},
                       {"value", static_cast<double>(cryptomatteFloat(row.hash))},
                       {"coverage", row.coverage}});
      }
      out["layers"].push_back({{"name", layer.layer.name},
                               {"key", layer.layer.key},
                               {"ranks", layer.layer.ranks()},
                               {"ids", ids}});
    }
    std::printf("%s\n", out.dump(2).c_str());
    return kExitOk;
  }
  for (const LayerCensus &layer : census) {
    std::printf("%s (key %s, %d ranks, manifest %s, part %d)\n", layer.layer.name.c_str(),
                layer.layer.key.c_str(), layer.layer.ranks(),
                layer.layer.manifestSource.empty() ? "none"
                                                   : ("from " + layer.layer.manifestSource).c_str(),
                layer.layer.part);
    std::printf("  %14s  %-8s  %-24s  %s\n", "coverage", "hash", "value", "name");
    for (const IdRow &row : rowsOf(layer)) {
      std::printf("  %14.3f  %s  %-24s  %s\n", row.coverage, hashText(row.hash).c_str(),
                  exactText(static_cast<double>(cryptomatteFloat(row.hash))).c_str(),
                  row.name != nullptr ? row.name->c_str() : "(not in the manifest)");
    }
  }
  return kExitOk;
}

} // namespace

Command addIdsCommand(CLI::App &parent) {
  CLI::App *command = parent.add_subcommand(
      "ids", "List the objects a render names in its Cryptomatte layers: each name, its id, the "
             "exact value a scene's SpecialBuffer1 takes for it, and its coverage in the frame");
  auto args = std::make_shared<IdsArgs>();
  command->add_option("FRAME", args->frame, "The render: an OpenEXR file")->required();
  command->add_option("--cryptomatte", args->layer,
                      "The layer to list, e.g. CryptoObject (default: every layer)");
  command->add_flag("--json", args->json,
                    "Print JSON: {\"layers\": [{\"name\", \"key\", \"ranks\", "
                    "\"ids\": [{\"name\", \"hash\", \"value\", \"coverage\"}]}]}");
  addFrameReadOptions(*command, args->read, FrameOptionSet::Pixels);
  return {command, [args] { return runIds(*args); }};
}

} // namespace qx::cli
