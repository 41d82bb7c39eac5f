// The scene file: the surfaces the host serves and the filter's stored state.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx {

// One surface of the scene. A surface without a parameter answers null when
// the module asks for it.
struct SceneSurface {
  SceneSurface() = default;
  SceneSurface(std::string surfaceName, std::optional<double> value,
               std::optional<std::array<double, 3>> colour = std::nullopt)
      : name(std::move(surfaceName)), specialBuffer(value), baseColor(colour) {}

  std::string name;
  std::optional<double> specialBuffer;            // "SpecialBuffer1"
  std::optional<std::array<double, 3>> baseColor; // "BaseColor", red, green, blue
  // "cryptomatte": an object name whose Cryptomatte id the host serves as
  // the special-buffer value (then specialBuffer holds that value). Written
  // back as given, in place of "SpecialBuffer1" when that was left out.
  std::optional<std::string> cryptomatte;
  bool specialBufferGiven = true; // false: computed from `cryptomatte`
};

// A scene as read from, and written to, a JSON file:
//   {"surfaces": [{"name": "Skin", "SpecialBuffer1": 1.0, "BaseColor": [1.0, 0.8, 0.7]},
//                 {"name": "Bunny", "cryptomatte": "bunny"}],
//    "filter": {"state": ["-3 0 0"]}}
// "filter" and its "state" may be left out: the filter then has no stored
// state. Keys other than these are refused, so that a misspelt one is not
// silently ignored.
struct Scene {
  std::vector<SceneSurface> surfaces;
  std::optional<std::vector<std::string>> filterState; // the filter's stored lines

  // Throws Error naming the file, the place and the problem.
  static Scene load(const std::string &path);
  // The same for a text; `sourceName` stands for the file in messages.
  static Scene parse(const std::string &text, const std::string &sourceName);

  // Pretty-printed JSON, as save writes it.
  std::string toJson() const;
  // Throws Error when the file cannot be written.
  void save(const std::string &path) const;
};

// A key written twice in one object of a JSON text: the parser keeps the
// last, so the first value would be lost without a word.
struct DuplicateKey {
  std::string key;
  std::size_t offset; // of the second one, in the text
};
// The first key that repeats within an object, at any depth, of a text that
// parsed as JSON.
std::optional<DuplicateKey> firstDuplicateKey(const std::string &text);

} // namespace qx
