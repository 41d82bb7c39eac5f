// The host's own reading of a filter's stored scene-state lines, to tell the
// user which line the module could not take, and why.
//
//   "-3 E T"                     header: E entries, T layer lines
//   "<value> <n> "               E entry lines, each followed by its n layers
//   "<twelve numbers>"           the layer lines
//
// The header is read into kStateHeaderCapacity characters and every other
// line into kStateLineCapacity, so longer lines lose their ends; at most
// kStateMaxEntries entries and kStateMaxLayers layers; the entries' layer
// counts add up to T; nothing follows the last layer. This is the host's one
// reader of stored state.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// The stored format as the module reads it. Stated here once for the host;
// tests/unit/host_stored_state_test.cpp ties each to the module's own
// constant.
inline constexpr int kStateVersion = -3;
// The module's buffers for the header and for every other line, the
// terminating zero included.
inline constexpr std::size_t kStateHeaderCapacity = 120;
inline constexpr std::size_t kStateLineCapacity = 80;
// The most entries and layer lines a stored state may announce.
inline constexpr long kStateMaxEntries = 4096;
inline constexpr long kStateMaxLayers = 65536;
// The numbers of a layer line.
inline constexpr int kLayerLineFields = 12;

// The first stored line that does not fit the format.
struct StateProblem {
  std::size_t line = 0; // 1-based, within the stored lines; one past the last for a missing line
  std::string text;     // the line as stored; empty for a missing line
  std::string reason;   // e.g. "the entries hold 2 layer lines, the header announces 3"
};

// The first line of `lines` that the module would refuse or lose, or none.
std::optional<StateProblem> checkStateLines(const std::vector<std::string> &lines);

// A stored layer line's twelve numbers, in stored order, as read before the
// module keeps them (it keeps the low 8 bits of the flags and colours).
struct StoredLayer {
  int type = 0;
  int active = 0;
  int red = 0, green = 0, blue = 0;
  double intensity = 0.0; // percent
  int mode = 0;
  int inBuffer = 0;
  int invert = 0;
  int alphaBuffer = 0;
  double alphaIntensity = 0.0; // percent
  int alphaInvert = 0;

  bool operator==(const StoredLayer &other) const;
  bool operator!=(const StoredLayer &other) const { return !(*this == other); }
};

// A layer line read, or none when it does not hold twelve numbers.
std::optional<StoredLayer> readLayerLine(const std::string &line);

// A stored entry: its special-buffer value and its stack, in stored order.
struct StoredEntry {
  double value = 0.0;
  int layers = 0; // the stack's size
  std::vector<StoredLayer> stack;
};
// The stored entries, in stored order; empty for lines that do not fit.
std::vector<StoredEntry> storedEntries(const std::vector<std::string> &lines);

// The stored entries' special-buffer values, in stored order, as the module
// reads them; empty for lines that do not fit.
std::vector<double> storedEntryValues(const std::vector<std::string> &lines);

// The stored lines grouped by the value of the entry they belong to: for
// each value, the lines of every entry carrying it (its entry line and its
// layer lines), in stored order. False for lines that do not fit.
bool storedLinesByValue(const std::vector<std::string> &lines,
                        std::map<double, std::vector<std::string>> &byValue);

} // namespace qx
