// The host's one reader of stored scene state: its constants against the
// module's own, and where it draws the line between a state that fits and
// one that does not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entries.h"
#include "persist.h"
#include "scene/state_check.h"

namespace {

TEST(StoredFormat, EveryConstantTheHostKeepsIsTheModules) {
  EXPECT_EQ(qx::kStateVersion, SCENE_VERSION);
  EXPECT_EQ(qx::kStateHeaderCapacity, static_cast<std::size_t>(SCENE_HEADER_LEN));
  EXPECT_EQ(qx::kStateLineCapacity, static_cast<std::size_t>(SCENE_LINE_LEN));
  EXPECT_EQ(qx::kStateMaxEntries, SCENE_MAX_ENTRIES);
  EXPECT_EQ(qx::kStateMaxLayers, SCENE_MAX_LAYERS);
  EXPECT_EQ(qx::kLayerLineFields, LAYER_LINE_FIELDS);
}

std::string header(long entries, long layers) {
  return std::to_string(SCENE_VERSION) + " " + std::to_string(entries) + " " +
         std::to_string(layers);
}

// The line and reason of the first problem, or "fits".
std::string verdict(const std::vector<std::string> &lines) {
  const std::optional<qx::StateProblem> problem = qx::checkStateLines(lines);
  if (!problem) return "fits";
  return "line " + std::to_string(problem->line) + ": " + problem->reason;
}

const std::string kLayer = "1 1 10 20 30 50.000000 3 7 0 11 25.000000 1";

TEST(StoredState, EachLimitIsTheLastThatFitsAndOneMoreIsNamedAtItsLine) {
  // Lines one short of the module's buffers fit; a line as long as its buffer
  // would lose its end.
  std::string longHeader = header(0, 0);
  longHeader.resize(SCENE_HEADER_LEN - 1, ' ');
  EXPECT_EQ(verdict({longHeader}), "fits");
  EXPECT_EQ(verdict({longHeader + " "}), "line 1: longer than 119 characters");
  std::string longEntry = "2 1 ";
  longEntry.resize(SCENE_LINE_LEN - 1, ' ');
  EXPECT_EQ(verdict({header(1, 1), longEntry, kLayer}), "fits");
  EXPECT_EQ(verdict({header(1, 1), longEntry + " ", kLayer}), "line 2: longer than 79 characters");

  // The counts: the module's caps, and the sum of the entries' layers.
  EXPECT_EQ(verdict({header(SCENE_MAX_ENTRIES + 1, 0)}),
            "line 1: the entry count must be 0 to 4096");
  EXPECT_EQ(verdict({header(0, SCENE_MAX_LAYERS + 1)}),
            "line 1: the layer count must be 0 to 65536");
  EXPECT_EQ(verdict({header(1, 2), "2 1 ", kLayer}),
            "line 1: the entries hold 1 layer lines, the header announces 2");
  EXPECT_EQ(verdict({header(1, 1), "2 2 ", kLayer}),
            "line 2: the entry has 2 layers, but the header leaves 1");
  EXPECT_EQ(verdict({header(2, 1), "2 1 ", kLayer}),
            "line 4: missing: the header announces 4 lines");
  EXPECT_EQ(verdict({header(1, 1), "2 1 ", kLayer, ""}),
            "line 4: the header announces only 3 lines");

  // A layer line short of one number, and another version.
  const std::string eleven = kLayer.substr(0, kLayer.rfind(' '));
  EXPECT_EQ(verdict({header(1, 1), "2 1 ", eleven}),
            "line 3: a layer line must hold twelve numbers");
  EXPECT_EQ(verdict({"-2 0 0"}), "line 1: the version is -2, not -3");
}

TEST(StoredState, EntriesAreReadWithEveryFieldOfTheirStacksInStoredOrder) {
  const std::vector<qx::StoredEntry> entries = qx::storedEntries(
      {header(3, 2), "0.5 1 ", kLayer, "7 0 ", "0.5 1 ", "0 0 1 2 3 4 5 6 7 8 9 1"});
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].value, 0.5);
  EXPECT_EQ(entries[1].value, 7.0);
  EXPECT_TRUE(entries[1].stack.empty());
  ASSERT_EQ(entries[0].stack.size(), 1u);
  const qx::StoredLayer &layer = entries[0].stack[0];
  EXPECT_EQ(layer.type, 1);
  EXPECT_EQ(layer.active, 1);
  EXPECT_EQ(layer.red, 10);
  EXPECT_EQ(layer.green, 20);
  EXPECT_EQ(layer.blue, 30);
  EXPECT_EQ(layer.intensity, 50.0);
  EXPECT_EQ(layer.mode, 3);
  EXPECT_EQ(layer.inBuffer, 7);
  EXPECT_EQ(layer.invert, 0);
  EXPECT_EQ(layer.alphaBuffer, 11);
  EXPECT_EQ(layer.alphaIntensity, 25.0);
  EXPECT_EQ(layer.alphaInvert, 1);
  ASSERT_EQ(entries[2].stack.size(), 1u);
  EXPECT_NE(entries[2].stack[0], layer); // the same value, another stack
  EXPECT_EQ(entries[2].stack[0].alphaIntensity, 9.0);
  // Lines that do not fit give no entries at all, not the ones before the fault.
  EXPECT_TRUE(qx::storedEntries({header(2, 1), "0.5 1 ", kLayer}).empty());
}

} // namespace
