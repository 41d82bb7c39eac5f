// Checking stored scene-state lines against the format the module reads.
#include "scene/state_check.h"

#include <cstdio>

namespace qx {
namespace {

// The header's form, as the messages show it.
std::string headerForm() { return "\"" + std::to_string(kStateVersion) + " E T\""; }

StateProblem problem(const std::vector<std::string> &lines, std::size_t index,
                     const std::string &reason) {
  return StateProblem{index + 1, index < lines.size() ? lines[index] : std::string(), reason};
}

// Walks the lines as the module does; `found` collects the entries.
std::optional<StateProblem> walk(const std::vector<std::string> &lines,
                                 std::vector<StoredEntry> *found) {
  if (lines.empty()) return problem(lines, 0, "there is no header line (" + headerForm() + ")");
  const std::string &header = lines[0];
  if (header.size() >= kStateHeaderCapacity) {
    return problem(lines, 0,
                   "longer than " + std::to_string(kStateHeaderCapacity - 1) + " characters");
  }
  int version = 0, entries = 0, layers = 0;
  if (std::sscanf(header.c_str(), "%d %d %d", &version, &entries, &layers) != 3) {
    return problem(lines, 0, "the header must hold three numbers, " + headerForm());
  }
  if (version != kStateVersion) {
    return problem(lines, 0,
                   "the version is " + std::to_string(version) + ", not " +
                       std::to_string(kStateVersion));
  }
  if (entries < 0 || entries > kStateMaxEntries) {
    return problem(lines, 0, "the entry count must be 0 to " + std::to_string(kStateMaxEntries));
  }
  if (layers < 0 || layers > kStateMaxLayers) {
    return problem(lines, 0, "the layer count must be 0 to " + std::to_string(kStateMaxLayers));
  }
  const std::size_t announced =
      1 + static_cast<std::size_t>(entries) + static_cast<std::size_t>(layers);
  std::size_t next = 1;
  long layersLeft = layers;
  for (int e = 0; e < entries; ++e) {
    if (next >= lines.size()) {
      return problem(lines, next,
                     "missing: the header announces " + std::to_string(announced) + " lines");
    }
    const std::string &entry = lines[next];
    if (entry.size() >= kStateLineCapacity) {
      return problem(lines, next,
                     "longer than " + std::to_string(kStateLineCapacity - 1) + " characters");
    }
    double value = 0.0;
    int count = 0;
    if (std::sscanf(entry.c_str(), "%lf %d", &value, &count) != 2) {
      return problem(lines, next, "an entry line must hold a value and a layer count");
    }
    if (count < 0 || count > layersLeft) {
      return problem(lines, next,
                     "the entry has " + std::to_string(count) + " layers, but the header leaves " +
                         std::to_string(layersLeft));
    }
    StoredEntry *stored = nullptr;
    if (found != nullptr) {
      found->push_back({value, count, {}});
      stored = &found->back();
    }
    layersLeft -= count;
    ++next;
    for (int l = 0; l < count; ++l, ++next) {
      if (next >= lines.size()) {
        return problem(lines, next,
                       "missing: the header announces " + std::to_string(announced) + " lines");
      }
      if (lines[next].size() >= kStateLineCapacity) {
        return problem(lines, next,
                       "longer than " + std::to_string(kStateLineCapacity - 1) + " characters");
      }
      const std::optional<StoredLayer> layer = readLayerLine(lines[next]);
      if (!layer) return problem(lines, next, "a layer line must hold twelve numbers");
      if (stored != nullptr) stored->stack.push_back(*layer);
    }
  }
  if (layersLeft != 0) {
    return problem(lines, 0,
                   "the entries hold " + std::to_string(layers - layersLeft) +
                       " layer lines, the header announces " + std::to_string(layers));
  }
  if (next < lines.size()) {
    return problem(lines, next,
                   "the header announces only " + std::to_string(announced) + " lines");
  }
  return std::nullopt;
}

} // namespace

bool StoredLayer::operator==(const StoredLayer &other) const {
  return type == other.type && active == other.active && red == other.red && green == other.green &&
         blue == other.blue && intensity == other.intensity && mode == other.mode &&
         inBuffer == other.inBuffer && invert == other.invert && alphaBuffer == other.alphaBuffer &&
         alphaIntensity == other.alphaIntensity && alphaInvert == other.alphaInvert;
}

std::optional<StoredLayer> readLayerLine(const std::string &line) {
  StoredLayer layer;
  const int fields = std::sscanf(line.c_str(), "%d %d %d %d %d %lf %d %d %d %d %lf %d", &layer.type,
                                 &layer.active, &layer.red, &layer.green, &layer.blue,
                                 &layer.intensity, &layer.mode, &layer.inBuffer, &layer.invert,
                                 &layer.alphaBuffer, &layer.alphaIntensity, &layer.alphaInvert);
  if (fields != kLayerLineFields) return std::nullopt;
  return layer;
}

std::optional<StateProblem> checkStateLines(const std::vector<std::string> &lines) {
  return walk(lines, nullptr);
}

std::vector<StoredEntry> storedEntries(const std::vector<std::string> &lines) {
  std::vector<StoredEntry> entries;
  if (walk(lines, &entries)) entries.clear();
  return entries;
}

std::vector<double> storedEntryValues(const std::vector<std::string> &lines) {
  std::vector<double> values;
  for (const StoredEntry &entry : storedEntries(lines)) values.push_back(entry.value);
  return values;
}

bool storedLinesByValue(const std::vector<std::string> &lines,
                        std::map<double, std::vector<std::string>> &byValue) {
  byValue.clear();
  const std::vector<StoredEntry> entries = storedEntries(lines);
  if (entries.empty() && checkStateLines(lines)) return false;
  std::size_t next = 1; // after the header
  for (const StoredEntry &entry : entries) {
    std::vector<std::string> &group = byValue[entry.value];
    const std::size_t end = next + 1 + static_cast<std::size_t>(entry.layers);
    group.insert(group.end(), lines.begin() + static_cast<std::ptrdiff_t>(next),
                 lines.begin() + static_cast<std::ptrdiff_t>(end));
    next = end;
  }
  return true;
}

} // namespace qx
