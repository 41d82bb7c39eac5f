// The host's own reading of a filter's stored scene-state lines, to tell the
// user which line the module could not take, and why.
//
//   "-3 E T"                     header: E entries, T layer lines
//   "<value> <n> "               E entry lines, each followed by its n layers
//   "<twelve numbers>"           the layer lines
//
// The header is read into 120 characters and every other line into 80, so
// longer lines lose their ends; at most 4096 entries and 65536 layers; the
// entries' layer counts add up to T; nothing follows the last layer.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// The first stored line that does not fit the format.
struct StateProblem {
  std::size_t line = 0; // 1-based, within the stored lines; one past the last for a missing line
  std::string text;     // the line as stored; empty for a missing line
  std::string reason;   // e.g. "the entries hold 2 layer lines, the header announces 3"
};

// The first line of `lines` that the module would refuse or lose, or none.
std::optional<StateProblem> checkStateLines(const std::vector<std::string> &lines);

// The stored entries' special-buffer values, in stored order, as the module
// reads them; empty for lines that do not fit.
std::vector<double> storedEntryValues(const std::vector<std::string> &lines);

// A stored entry: its special-buffer value and how many layers it holds.
struct StoredEntry {
  double value = 0.0;
  int layers = 0;
};
// The stored entries, in stored order; empty for lines that do not fit.
std::vector<StoredEntry> storedEntries(const std::vector<std::string> &lines);

// The stored lines grouped by the value of the entry they belong to: for
// each value, the lines of every entry carrying it (its entry line and its
// layer lines), in stored order. False for lines that do not fit.
bool storedLinesByValue(const std::vector<std::string> &lines,
                        std::map<double, std::vector<std::string>> &byValue);

} // namespace qx
