// Reading and writing scene files.
#include "scene/scene.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "base/error.h"
#include "base/file_read.h"
#include "base/safe_write.h"
#include "scene/cryptomatte.h"

namespace qx {
namespace {

// Objects keep their keys in file order, so a saved scene reads like the
// file it came from.
using json = nlohmann::ordered_json;

} // namespace

std::optional<DuplicateKey> firstDuplicateKey(const std::string &text) {
  struct Level {
    bool object;
    bool expectKey;
    std::set<std::string> keys;
  };
  std::vector<Level> levels;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t start = i;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (levels.empty() || !levels.back().object || !levels.back().expectKey) continue;
      levels.back().expectKey = false;
      // Escapes are decoded, so "a" and "\u0061" are the same key. Text the
      // parser never reached (past a NUL that ended the document) may not
      // decode; it is compared as it stands.
      const std::string raw = text.substr(start, i - start + 1);
      std::string key;
      try {
        key = json::parse(raw).get<std::string>();
      } catch (const json::exception &) {
        key = raw;
      }
      if (!levels.back().keys.insert(key).second) return DuplicateKey{key, start};
    } else if (c == '{' || c == '[') {
      levels.push_back(Level{c == '{', c == '{', {}});
    } else if (c == '}' || c == ']') {
      if (!levels.empty()) levels.pop_back();
    } else if (c == ',' && !levels.empty() && levels.back().object) {
      levels.back().expectKey = true;
    }
  }
  return std::nullopt;
}

namespace {

// Reports problems as "<file>: <place>: <problem>", the place a path into
// the document such as surfaces[1].BaseColor.
class Reader {
public:
  explicit Reader(const std::string &sourceName) : source_(sourceName) {}

  [[noreturn]] void fail(const std::string &place, const std::string &problem) const {
    throw Error(source_ + ": " + (place.empty() ? "" : place + ": ") + problem);
  }

  void allowOnly(const json &object, const std::string &place,
                 std::initializer_list<const char *> keys) const {
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool known = false;
      for (const char *key : keys) known = known || it.key() == key;
      if (!known) fail(place, "unknown key \"" + it.key() + "\"");
    }
  }

  SceneSurface surface(const json &node, const std::string &place) const {
    if (!node.is_object()) fail(place, "must be an object");
    allowOnly(node, place, {"name", "SpecialBuffer1", "BaseColor", "cryptomatte"});
    SceneSurface surface;
    auto name = node.find("name");
    if (name == node.end()) fail(place, "\"name\" is missing");
    if (!name->is_string()) fail(place + ".name", "must be a string");
    surface.name = name->get<std::string>();

    auto special = node.find("SpecialBuffer1");
    if (special != node.end()) {
      if (!special->is_number()) fail(place + ".SpecialBuffer1", "must be a number");
      surface.specialBuffer = special->get<double>();
    }
    auto object = node.find("cryptomatte");
    if (object != node.end()) {
      if (!object->is_string()) fail(place + ".cryptomatte", "must be an object's name");
      surface.cryptomatte = object->get<std::string>();
      const std::uint32_t hash = cryptomatteHash(*surface.cryptomatte);
      const double id = static_cast<double>(cryptomatteFloat(hash));
      if (surface.specialBuffer && !(*surface.specialBuffer == id)) {
        fail(place, "\"SpecialBuffer1\" " + exactText(*surface.specialBuffer) +
                        " is not the id of \"cryptomatte\" \"" + *surface.cryptomatte + "\" (" +
                        hashText(hash) + ", " + exactText(id) + "); give one of them");
      }
      surface.specialBufferGiven = surface.specialBuffer.has_value();
      surface.specialBuffer = id;
    }
    auto color = node.find("BaseColor");
    if (color != node.end()) {
      if (!color->is_array() || color->size() != 3) {
        fail(place + ".BaseColor", "must hold three numbers");
      }
      std::array<double, 3> rgb{};
      for (std::size_t i = 0; i < 3; ++i) {
        if (!(*color)[i].is_number()) fail(place + ".BaseColor", "must hold three numbers");
        rgb[i] = (*color)[i].get<double>();
      }
      surface.baseColor = rgb;
    }
    return surface;
  }

  std::optional<std::vector<std::string>> filterState(const json &root) const {
    auto filter = root.find("filter");
    if (filter == root.end()) return std::nullopt;
    if (!filter->is_object()) fail("filter", "must be an object");
    allowOnly(*filter, "filter", {"state"});
    auto state = filter->find("state");
    if (state == filter->end()) return std::nullopt;
    if (!state->is_array()) fail("filter.state", "must be an array of strings");
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < state->size(); ++i) {
      const json &line = (*state)[i];
      if (!line.is_string()) fail("filter.state[" + std::to_string(i) + "]", "must be a string");
      lines.push_back(line.get<std::string>());
    }
    return lines;
  }

  // nlohmann's message without its "[json.exception.parse_error.101] parse
  // error at " preamble: "line 4, column 7: syntax error while parsing ...".
  static std::string parseProblem(const std::string &what) {
    const std::string marker = " at line ";
    const std::size_t at = what.find(marker);
    if (at != std::string::npos) return what.substr(at + 4);
    const std::size_t bracket = what.find("] ");
    return bracket == std::string::npos ? what : what.substr(bracket + 2);
  }

  Scene scene(const std::string &text) const {
    json root;
    try {
      root = json::parse(text);
    } catch (const json::exception &e) {
      fail("", parseProblem(e.what()));
    }
    if (const std::optional<DuplicateKey> twice = firstDuplicateKey(text)) {
      const std::size_t line =
          1 + static_cast<std::size_t>(std::count(
                  text.begin(), text.begin() + static_cast<std::ptrdiff_t>(twice->offset), '\n'));
      fail("line " + std::to_string(line), "duplicate key \"" + twice->key + "\"");
    }
    if (!root.is_object()) fail("", "the scene must be a JSON object");
    allowOnly(root, "", {"surfaces", "filter"});

    Scene scene;
    auto surfaces = root.find("surfaces");
    if (surfaces == root.end()) fail("", "\"surfaces\" is missing");
    if (!surfaces->is_array()) fail("surfaces", "must be an array");
    for (std::size_t i = 0; i < surfaces->size(); ++i) {
      scene.surfaces.push_back(surface((*surfaces)[i], "surfaces[" + std::to_string(i) + "]"));
    }
    scene.filterState = filterState(root);
    return scene;
  }

private:
  std::string source_;
};

} // namespace

Scene Scene::parse(const std::string &text, const std::string &sourceName) {
  return Reader(sourceName).scene(text);
}

Scene Scene::load(const std::string &path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) throw Error(path + ": no such scene file");
  return parse(readFileLimited(path, "scene file"), path);
}

std::string Scene::toJson() const {
  json root = json::object();
  json list = json::array();
  for (const SceneSurface &surface : surfaces) {
    json node = json::object();
    node["name"] = surface.name;
    if (surface.specialBuffer && surface.specialBufferGiven) {
      node["SpecialBuffer1"] = *surface.specialBuffer;
    }
    if (surface.cryptomatte) node["cryptomatte"] = *surface.cryptomatte;
    if (surface.baseColor) node["BaseColor"] = *surface.baseColor;
    list.push_back(std::move(node));
  }
  root["surfaces"] = std::move(list);
  if (filterState) root["filter"]["state"] = *filterState;
  return root.dump(2) + "\n";
}

void Scene::save(const std::string &path) const { writeFileAtomically(path, toJson()); }

} // namespace qx
