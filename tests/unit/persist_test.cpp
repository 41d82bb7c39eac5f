// Scene state: what QXSave writes through the host's save record and what
// QXLoad makes of the lines it reads back, damaged ones included.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "alloc_failure.h"
#include "common/instance_checks.h"
#include "layers.h"
#include "module.h"
#include "persist.h"

namespace {

const char kVersionMessage[] = "Quintessalux Error...セーブデータのバージョンに互換性がありません";

// ---------------------------------------------------------------------------
// Fake host: a message service, a save record and a load record.

std::vector<std::string> shownMessages;

void RecordInfo(const char *text, const char *detail) {
  (void)detail;
  shownMessages.emplace_back(text);
}

HostMessageFuncs fakeMessages = {RecordInfo, nullptr, nullptr};

void *FakeLookup(const char *name, int useMode) {
  (void)useMode;
  if (strcmp(name, "Info Messages 2") == 0) return &fakeMessages;
  return nullptr; // no surfaces: created instances start without entries
}

// Keeps the written lines as a host would, each cut to the length given.
struct FakeSaveStore {
  std::vector<std::string> lines;
  std::vector<int> lengths;
  HostSaveState record{this, Write};

  static void Write(void *data, const char *text, int length) {
    FakeSaveStore *store = static_cast<FakeSaveStore *>(data);
    store->lengths.push_back(length);
    store->lines.emplace_back(text, strnlen(text, static_cast<size_t>(length - 1)));
  }
};

// Hands stored lines back one at a time, cut to the capacity asked for, and
// -1 with the empty text after the last one.
struct FakeLoadStore {
  std::vector<std::string> lines;
  size_t nextLine = 0;
  std::vector<int> capacities;
  HostLoadState record{this, Read};

  explicit FakeLoadStore(std::vector<std::string> stored) : lines(std::move(stored)) {}

  static int Read(void *data, char *buffer, int capacity) {
    FakeLoadStore *store = static_cast<FakeLoadStore *>(data);
    store->capacities.push_back(capacity);
    if (store->nextLine >= store->lines.size()) {
      buffer[0] = '\0';
      return -1;
    }
    const std::string &line = store->lines[store->nextLine++];
    const size_t kept = std::min(line.size(), static_cast<size_t>(capacity - 1));
    memcpy(buffer, line.data(), kept);
    buffer[kept] = '\0';
    return static_cast<int>(kept);
  }
};

// ---------------------------------------------------------------------------
// Building instances and looking at them

struct LayerFields {
  int32_t type;
  int8_t active;
  uint8_t red, green, blue;
  double intensity;
  int32_t mode;
  int32_t inBuffer;
  int8_t invert;
  int32_t alphaBuffer;
  double alphaIntensity;
  int8_t alphaInvert;
};

const LayerFields kDefaultLayer = {0, 1, 255, 255, 255, 100.0, 0, 0, 0, 0, 100.0, 0};

SBEntry *AddEntry(FilterInstance *inst, double value, int16_t on) {
  const size_t count = static_cast<size_t>(inst->entryCount) + 1;
  SBEntry *grown = static_cast<SBEntry *>(realloc(inst->entries, count * sizeof(SBEntry)));
  if (grown == nullptr) abort();
  inst->entries = grown;
  SBEntry *entry = &grown[inst->entryCount++];
  entry->value = value;
  entry->on = on;
  entry->head = nullptr;
  return entry;
}

// Appends a layer with the given fields at the end of the entry's stack.
Layer *AppendLayer(SBEntry *entry, const LayerFields &f) {
  Layer *layer = AddLayer(entry, GetLayerNum(entry));
  if (layer == nullptr) abort();
  layer->type = f.type;
  layer->active = f.active;
  layer->color[0] = f.red;
  layer->color[1] = f.green;
  layer->color[2] = f.blue;
  layer->intensity = f.intensity;
  layer->mode = f.mode;
  layer->inBuffer = f.inBuffer;
  layer->invert = f.invert;
  layer->alphaBuffer = f.alphaBuffer;
  layer->alphaIntensity = f.alphaIntensity;
  layer->alphaInvert = f.alphaInvert;
  return layer;
}

std::string Describe(const Layer *l) {
  char text[200];
  snprintf(text, sizeof text,
           "type %d active %d color %d,%d,%d intensity %.17g mode %d in %d invert %d alpha %d "
           "alphaIntensity %.17g alphaInvert %d",
           l->type, l->active, l->color[0], l->color[1], l->color[2], l->intensity, l->mode,
           l->inBuffer, l->invert, l->alphaBuffer, l->alphaIntensity, l->alphaInvert);
  return text;
}

std::string Describe(const LayerFields &f) {
  Layer layer{};
  layer.type = f.type;
  layer.active = f.active;
  layer.color[0] = f.red;
  layer.color[1] = f.green;
  layer.color[2] = f.blue;
  layer.intensity = f.intensity;
  layer.mode = f.mode;
  layer.inBuffer = f.inBuffer;
  layer.invert = f.invert;
  layer.alphaBuffer = f.alphaBuffer;
  layer.alphaIntensity = f.alphaIntensity;
  layer.alphaInvert = f.alphaInvert;
  return Describe(&layer);
}

// Everything of an instance's entries, addresses included, as text: two
// snapshots are equal only when no entry or layer was replaced, moved,
// released or changed.
std::string Snapshot(const FilterInstance *inst) {
  std::string text;
  char line[160];
  snprintf(line, sizeof line, "entries %p count %d\n", static_cast<const void *>(inst->entries),
           inst->entryCount);
  text += line;
  for (int32_t i = 0; i < inst->entryCount; ++i) {
    const SBEntry &e = inst->entries[i];
    snprintf(line, sizeof line, "entry %d value %.17g on %d\n", i, e.value, e.on);
    text += line;
    for (const Layer *l = e.head; l != nullptr; l = l->next) {
      snprintf(line, sizeof line, "  layer %p prev %p: ", static_cast<const void *>(l),
               static_cast<const void *>(l->prev));
      text += line + Describe(l) + "\n";
    }
  }
  return text;
}

// The lines of a stored scene as one text, for failure messages.
std::string Joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += "[" + line + "]\n";
  return text;
}

class SceneState : public ::testing::Test {
protected:
  void SetUp() override {
    savedLookup = global_func;
    savedBcount = Bcount;
    global_func = FakeLookup;
    shownMessages.clear();
    inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    ASSERT_NE(inst, nullptr);
  }
  void TearDown() override {
    QXDestroy(inst);
    global_func = savedLookup;
    Bcount = savedBcount;
  }

  std::vector<std::string> Save(FilterInstance *from = nullptr) {
    FakeSaveStore store;
    EXPECT_EQ(QXSave(from != nullptr ? from : inst, &store.record), nullptr)
        << "save reports no error";
    for (int length : store.lengths)
      EXPECT_EQ(length, 120) << "every line is written with the length 120";
    return store.lines;
  }

  void Load(FilterInstance *target, FakeLoadStore &store) {
    EXPECT_EQ(QXLoad(target, &store.record), nullptr) << "load never reports an error to the host";
  }

  // Gives an instance two entries worth keeping, the first switched on with
  // two layers, the second off and empty, and sets Bcount to match.
  static void GiveKeptEntries(FilterInstance *target) {
    SBEntry *a = AddEntry(target, 7.0, 1);
    AppendLayer(a, {1, 0, 1, 2, 3, 40.0, 4, 5, 1, 6, 70.0, 0});
    AppendLayer(a, kDefaultLayer);
    AddEntry(target, 8.0, 0);
    Bcount = 2;
  }

  // Loads `lines` into a fresh instance holding the entries of GiveKeptEntries
  // and checks that they are refused: one message, the entries untouched,
  // Bcount untouched.
  void ExpectRefused(const std::vector<std::string> &lines) {
    shownMessages.clear();
    FilterInstance *target = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    ASSERT_NE(target, nullptr);
    GiveKeptEntries(target);
    const std::string before = Snapshot(target);
    FakeLoadStore store(lines);
    Load(target, store);
    EXPECT_EQ(Snapshot(target), before) << "the instance changed after loading\n" << Joined(lines);
    EXPECT_EQ(Bcount, 2) << "the buffer-list row count changed after loading\n" << Joined(lines);
    EXPECT_EQ(shownMessages, std::vector<std::string>{kVersionMessage})
        << "expected the version message once after loading\n"
        << Joined(lines);
    QXDestroy(target);
  }

  FilterInstance *inst = nullptr;
  HostGlobalFunc *savedLookup = nullptr;
  int32_t savedBcount = 0;
};

// ---------------------------------------------------------------------------
// Saving

TEST_F(SceneState, SavesOneEntryWithADefaultAndAShadowLayerAsTheFourLinesOfTheExample) {
  SBEntry *entry = AddEntry(inst, 1.0, 1);
  AppendLayer(entry, kDefaultLayer);
  LayerFields shadow = kDefaultLayer;
  shadow.type = 1;
  shadow.active = 0;
  shadow.mode = 3;
  shadow.inBuffer = 10;
  AppendLayer(entry, shadow);

  const std::vector<std::string> expected = {
      "-3 1 2",
      "1.000000 2 ",
      "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
      "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0",
  };
  const std::vector<std::string> lines = Save();
  EXPECT_EQ(lines, expected) << "saved:\n" << Joined(lines) << "expected:\n" << Joined(expected);
}

TEST_F(SceneState, SavesOnlyEntriesThatAreSwitchedOnAndHoldLayers) {
  AddEntry(inst, 2.0, 1);                             // on, empty
  AppendLayer(AddEntry(inst, 3.0, 0), kDefaultLayer); // off, one layer
  AppendLayer(AddEntry(inst, 4.0, 1), {0, 1, 9, 8, 7, 50.0, 1, 2, 0, 3, 25.0, 1});
  SBEntry *last = AddEntry(inst, 5.5, 1);
  AppendLayer(last, {1, 0, 0, 0, 0, 0.0, 9, 12, 1, 0, 100.0, 0});
  AppendLayer(last, kDefaultLayer);

  const std::vector<std::string> expected = {
      "-3 2 3",
      "4.000000 1 ",
      "0 1 9 8 7 50.000000 1 2 0 3 25.000000 1",
      "5.500000 2 ",
      "1 0 0 0 0 0.000000 9 12 1 0 100.000000 0",
      "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
  };
  const std::vector<std::string> lines = Save();
  EXPECT_EQ(lines, expected) << "saved:\n" << Joined(lines) << "expected:\n" << Joined(expected);
}

TEST_F(SceneState, AnInstanceWithNothingToStoreSavesTheHeaderAloneAndLoadsBackEmpty) {
  AddEntry(inst, 1.0, 0);
  AppendLayer(AddEntry(inst, 2.0, 0), kDefaultLayer);
  AddEntry(inst, 3.0, 1);
  const std::vector<std::string> lines = Save();
  ASSERT_EQ(lines, std::vector<std::string>{"-3 0 0"}) << "saved:\n" << Joined(lines);

  FakeLoadStore store(lines);
  Load(inst, store);
  EXPECT_EQ(inst->entryCount, 0);
  EXPECT_EQ(inst->entries, nullptr) << "an empty scene state leaves no entry array";
  EXPECT_EQ(Bcount, 0);
  EXPECT_TRUE(shownMessages.empty()) << "unexpected message: " << shownMessages[0];
}

TEST_F(SceneState, SavingAllocatesNothing) {
  AppendLayer(AddEntry(inst, 1.0 / 3.0, 1), kDefaultLayer);
  FakeSaveStore store;
  long calls = 0;
  {
    AllocationWatch watch;
    QXSave(inst, &store.record);
    calls = watch.calls();
  }
  EXPECT_EQ(calls, 0) << "save asked for memory " << calls << " times";
  EXPECT_EQ(store.lines.size(), 3u);
}

// ---------------------------------------------------------------------------
// Special-buffer values on the entry line

TEST_F(SceneState, ValuesWithMoreThanSixDecimalsAreWrittenShortestAndComeBackExactly) {
  struct Case {
    double value;
    const char *line; // worked out by hand: the shortest decimal that reads back
  };
  const Case cases[] = {
      {1.0, "1.000000 1 "},
      {0.1, "0.100000 1 "}, // six decimals already read back as 0.1
      {-0.5, "-0.500000 1 "},
      {1.0 / 3.0, "0.3333333333333333 1 "},
      {1e-7, "1e-07 1 "},
      {123456.789012345, "123456.789012345 1 "},
      {nextafter(1.0, 2.0), "1.0000000000000002 1 "},
      {-2.5e-300, "-2.5e-300 1 "},
      {1e300, "1e+300 1 "}, // six decimals would not fit the line that load reads
  };
  for (const Case &c : cases) AppendLayer(AddEntry(inst, c.value, 1), kDefaultLayer);
  const std::vector<std::string> lines = Save();
  const size_t count = sizeof cases / sizeof cases[0];
  ASSERT_EQ(lines.size(), 1 + 2 * count) << Joined(lines);
  for (size_t i = 0; i < count; ++i) {
    const std::string &line = lines[1 + 2 * i];
    EXPECT_EQ(line, cases[i].line) << "entry line of value " << cases[i].value;
    double back = 0.0;
    int layers = 0;
    EXPECT_EQ(sscanf(line.c_str(), "%lf %d", &back, &layers), 2) << "\"%lf %d\" reads " << line;
    EXPECT_EQ(back, cases[i].value) << "\"%lf\" reads " << line;
  }

  FilterInstance *other = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  FakeLoadStore store(lines);
  Load(other, store);
  ASSERT_EQ(other->entryCount, static_cast<int32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    const double value = other->entries[i].value;
    EXPECT_EQ(memcmp(&value, &cases[i].value, sizeof value), 0)
        << "entry " << i << " came back as " << value << ", expected " << cases[i].value;
  }
  QXDestroy(other);
}

// ---------------------------------------------------------------------------
// Loading what was saved

TEST_F(SceneState, ARoundTripKeepsEntryOrderLayerOrderAndEveryLayerField) {
  const LayerFields first = {1, 0, 12, 0, 200, 37.5, 9, 12, 1, 3, 0.25, 1};
  const LayerFields second = {0, 1, 255, 128, 1, -20.0, 5, 0, 0, 11, 150.0, 0};
  SBEntry *a = AddEntry(inst, 5.0, 1);
  AppendLayer(a, first);
  AppendLayer(a, second);
  AppendLayer(a, kDefaultLayer);
  AppendLayer(AddEntry(inst, -1.25, 1), second);
  const std::vector<std::string> lines = Save();

  // The target holds entries of its own, which the load releases.
  FilterInstance *other = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  AppendLayer(AddEntry(other, 9.0, 0), kDefaultLayer);
  other->curLayer = other->entries[0].head;
  Bcount = 1;
  FakeLoadStore store(lines);
  Load(other, store);

  EXPECT_TRUE(shownMessages.empty()) << "unexpected message: " << shownMessages[0];
  EXPECT_EQ(other->curLayer, nullptr) << "the selected layer pointed into a released stack";
  EXPECT_EQ(Bcount, 2);
  ASSERT_EQ(other->entryCount, 2);
  EXPECT_EQ(other->entries[0].value, 5.0);
  EXPECT_EQ(other->entries[1].value, -1.25);
  EXPECT_EQ(other->entries[0].on, 1);
  EXPECT_EQ(other->entries[1].on, 1);
  const std::vector<std::string> expected0 = {Describe(first), Describe(second),
                                              Describe(kDefaultLayer)};
  std::vector<std::string> got0;
  for (const Layer *l = other->entries[0].head; l != nullptr; l = l->next) {
    got0.push_back(Describe(l));
    if (l->next != nullptr) {
      EXPECT_EQ(l->next->prev, l) << "a back link of the loaded stack is broken";
    }
  }
  EXPECT_EQ(got0, expected0) << "layers of entry 0 in stack order";
  ASSERT_EQ(GetLayerNum(&other->entries[1]), 1);
  EXPECT_EQ(Describe(other->entries[1].head), Describe(second));
  EXPECT_EQ(other->entries[0].head->prev, nullptr);
  QXDestroy(other);
}

// Six decimals of a huge percentage would make the layer line longer than
// load reads; such a line is written with the shortest exact text instead, so
// the stack still loads back.
TEST_F(SceneState, AHugeIntensityStillFitsItsLineAndComesBack) {
  const LayerFields huge = {0, 1, 1, 2, 3, 1e60, 3, 7, 0, 2, -2.5e100, 1};
  AppendLayer(AddEntry(inst, 1.0, 1), huge);
  const std::vector<std::string> lines = Save();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_LT(lines[2].size(), 80u) << "layer line too long to load: " << lines[2];
  EXPECT_EQ(lines[2], "0 1 1 2 3 1e+60 3 7 0 2 -2.5e+100 1");

  FilterInstance *other = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  FakeLoadStore store(lines);
  Load(other, store);
  EXPECT_TRUE(shownMessages.empty()) << "unexpected message: " << shownMessages[0];
  ASSERT_EQ(other->entryCount, 1);
  ASSERT_NE(other->entries[0].head, nullptr);
  EXPECT_EQ(Describe(other->entries[0].head), Describe(huge));
  QXDestroy(other);
}

// A damaged layer-set file can bring in numbers so wide that even the
// shortest line is too long for load; saved as it stands, the whole scene
// state would be refused on the next load. A type, mode or buffer index
// outside its list goes out as -1, which acts exactly as it does; the
// percentages give up digits only when that is still not enough.
TEST_F(SceneState, NumbersFarOutsideTheirListsAreSavedAsMinusOneSoTheLineStillLoads) {
  const LayerFields wide = {
      INT32_MIN, 1,         255, 255,       255,       -1.7976931348623157e308,
      INT32_MAX, INT32_MIN, 0,   INT32_MAX, -2.5e-300, 0};
  AppendLayer(AddEntry(inst, 1.0, 1), wide);
  const LayerFields widest = {INT32_MIN,
                              -128,
                              255,
                              255,
                              255,
                              -1.7976931348623157e308,
                              INT32_MAX,
                              INT32_MIN,
                              -128,
                              INT32_MAX,
                              -2.2250738585072014e-308,
                              -128};
  AppendLayer(&inst->entries[0], widest);
  const LayerFields typeTwo = {2, 1, 1, 2, 3, 1e300, 9, 12, 0, 0, 1e300, 0};
  AppendLayer(&inst->entries[0], typeTwo);
  const std::vector<std::string> lines = Save();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "-1 1 255 255 255 -1.7976931348623157e+308 -1 -1 0 -1 -2.5e-300 0");
  // The percentages cut toward zero to 12 digits, the most that fit; the
  // cut alpha intensity ends in a 0, which its shortest text drops.
  EXPECT_EQ(lines[3], "-1 -128 255 255 255 -1.79769313486e+308 -1 -1 -128 -1 "
                      "-2.2250738585e-308 -128");
  EXPECT_EQ(lines[4], "2 1 1 2 3 1e+300 9 12 0 0 1e+300 0") << "numbers in their lists changed";
  for (const std::string &line : lines) EXPECT_LT(line.size(), 80u) << line;

  FilterInstance *other = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  FakeLoadStore store(lines);
  Load(other, store);
  EXPECT_TRUE(shownMessages.empty()) << "the saved state did not load";
  ASSERT_EQ(other->entryCount, 1);
  ASSERT_NE(other->entries[0].head, nullptr);
  const Layer *back = other->entries[0].head;
  EXPECT_EQ(back->type, -1);
  EXPECT_EQ(back->mode, -1);
  EXPECT_EQ(back->inBuffer, -1);
  EXPECT_EQ(back->alphaBuffer, -1);
  EXPECT_EQ(back->intensity, wide.intensity) << "a percentage lost digits it had room for";
  EXPECT_EQ(Save(other), lines) << "a second round changed the lines";
  QXDestroy(other);
}

// Found by the layer-set fuzzer. Percentages that lose digits must be cut
// toward zero: rounded, the largest double came back as -inf. And each must
// be written as the text a later save gives the value it reads back as, or
// the loaded state saves to other lines (with six decimals, here).
TEST_F(SceneState, ACutLayerLineSavesTheSameAfterALoad) {
  // The layer the fuzzer's file made: its alpha invert was never read.
  const LayerFields widest = {-2144647388,
                              -128,
                              255,
                              255,
                              255,
                              -1.7976931348623157e308,
                              2147483647,
                              INT32_MIN,
                              -128,
                              2147483647,
                              -2.2250738585072014e-3,
                              0};
  AppendLayer(AddEntry(inst, 1.0, 1), widest);
  const std::vector<std::string> lines = Save();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_LT(lines[2].size(), 80u) << lines[2];
  FilterInstance *other = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  FakeLoadStore store(lines);
  Load(other, store);
  EXPECT_TRUE(shownMessages.empty()) << "the saved state did not load";
  EXPECT_EQ(Save(other), lines);
  ASSERT_NE(other->entries, nullptr);
  ASSERT_NE(other->entries[0].head, nullptr);
  EXPECT_LE(-other->entries[0].head->intensity, 1.7976931348623157e308) << "cut away from zero";
  QXDestroy(other);
}

TEST_F(SceneState, LoadedEntriesAreAllSwitchedOn) {
  FakeLoadStore store({"-3 2 2", "3.000000 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                       "4.000000 1 ", "0 0 255 255 255 100.000000 0 0 0 0 100.000000 0"});
  Load(inst, store);
  ASSERT_EQ(inst->entryCount, 2);
  EXPECT_EQ(inst->entries[0].on, 1);
  EXPECT_EQ(inst->entries[1].on, 1) << "an entry whose only layer is off still comes back on";
  EXPECT_EQ(inst->entries[1].head->active, 0);
}

TEST_F(SceneState, ReadsTheHeaderWithCapacity120AndEveryOtherLineWith80) {
  FakeLoadStore store({"-3 1 2", "1.000000 2 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                       "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0"});
  Load(inst, store);
  EXPECT_EQ(store.capacities, (std::vector<int>{120, 80, 80, 80}));
  ASSERT_EQ(inst->entryCount, 1);
  EXPECT_EQ(GetLayerNum(&inst->entries[0]), 2);
}

TEST_F(SceneState, EightBitFieldsKeepTheLowEightBitsOfTheStoredNumber) {
  // active 257 -> 1, red 256 -> 0, green 511 -> 255, blue -1 -> 255,
  // invert 384 -> 128, which the signed field holds as -128, alphaInvert
  // -255 -> 1.
  FakeLoadStore store(
      {"-3 1 1", "1.000000 1 ", "0 257 256 511 -1 100.000000 0 0 384 0 100.000000 -255"});
  Load(inst, store);
  ASSERT_EQ(inst->entryCount, 1);
  const LayerFields expected = {0, 1, 0, 255, 255, 100.0, 0, 0, -128, 0, 100.0, 1};
  EXPECT_EQ(Describe(inst->entries[0].head), Describe(expected));
}

TEST_F(SceneState, TypeModeAndBufferIndicesOutsideTheirRangesAreKeptAsStored) {
  FakeLoadStore store({"-3 1 1", "2.000000 1 ", "7 1 1 2 3 55.500000 42 99 0 -4 12.000000 0"});
  Load(inst, store);
  ASSERT_EQ(inst->entryCount, 1);
  const LayerFields expected = {7, 1, 1, 2, 3, 55.5, 42, 99, 0, -4, 12.0, 0};
  EXPECT_EQ(Describe(inst->entries[0].head), Describe(expected));
  EXPECT_TRUE(shownMessages.empty()) << "unexpected message: " << shownMessages[0];
}

// ---------------------------------------------------------------------------
// Refused scene states

TEST_F(SceneState, AnotherVersionShowsTheMessageAndKeepsTheEntries) {
  ExpectRefused({"-2 1 1", "1.000000 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"});
}

TEST_F(SceneState, AnUnparsableHeaderShowsTheMessageAndKeepsTheEntries) {
  ExpectRefused({"Quintessalux", "1.000000 1 "});
}

TEST_F(SceneState, NoStoredLinesAtAllShowsTheMessageAndKeepsTheEntries) { ExpectRefused({}); }

TEST_F(SceneState, AHeaderWithoutCountsShowsTheMessageAndKeepsTheEntries) { ExpectRefused({"-3"}); }

TEST_F(SceneState, NegativeCountsAreRefused) {
  ExpectRefused({"-3 -1 0"});
  ExpectRefused({"-3 1 -1", "1.000000 1 "});
  ExpectRefused({"-3 1 1", "1.000000 -1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"});
}

TEST_F(SceneState, EntryLinesAnnouncingMoreLayersThanTheTotalAreRefused) {
  ExpectRefused({"-3 1 1", "1.000000 2 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                 "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"});
  ExpectRefused(
      {"-3 2 1", "1.000000 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0", "2.000000 1 "});
}

TEST_F(SceneState, EntryLinesAnnouncingFewerLayersThanTheTotalAreRefused) {
  ExpectRefused({"-3 1 2", "1.000000 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                 "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"});
  ExpectRefused({"-3 0 1", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"});
}

TEST_F(SceneState, FewerLinesThanAnnouncedAreRefused) {
  ExpectRefused({"-3 1 2", "1.000000 2 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"});
  ExpectRefused({"-3 3 0", "1.000000 0 "});
}

TEST_F(SceneState, AbsurdCountsAreRefusedBeforeAnythingIsReadOrAllocated) {
  const char *headers[] = {"-3 2147483647 2147483647", "-3 1 2147483647", "-3 2147483647 0",
                           "-3 4097 0", "-3 1 65537"};
  for (const char *header : headers) {
    SCOPED_TRACE(header);
    FakeLoadStore store({header, "1.000000 1 "});
    long calls = 0;
    {
      AllocationWatch watch;
      QXLoad(inst, &store.record);
      calls = watch.calls();
    }
    EXPECT_EQ(calls, 0) << "load asked for memory for the header " << header;
    EXPECT_EQ(store.capacities.size(), 1u) << "load read past the header " << header;
  }
  EXPECT_EQ(shownMessages.size(), sizeof headers / sizeof headers[0]);
  ExpectRefused({"-3 2147483647 2147483647"});
}

TEST_F(SceneState, NumbersTooWideForAnIntAreRefusedRatherThanWrapped) {
  const std::string layer = "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0";
  // Their low 32 bits would read as an entry count of 1, a version of -3 and
  // a layer count of 1.
  ExpectRefused({"-3 4294967297 1", "1.000000 1 ", layer});
  ExpectRefused({"4294967293 1 1", "1.000000 1 ", layer});
  ExpectRefused({"-3 1 1", "1.000000 4294967297 ", layer});
  // In a layer line too, even where an 8-bit field keeps only the low bits
  // of a number in the int range.
  ExpectRefused(
      {"-3 1 1", "1.000000 1 ", "0 4294967297 255 255 255 100.000000 0 0 0 0 100.000000 0"});
  ExpectRefused(
      {"-3 1 1", "1.000000 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 -2147483649"});
  ExpectRefused({"-3 1 1", "1.000000 1 ",
                 "0 1 255 255 255 100.000000 99999999999999999999 0 0 0 100.000000 0"});
  // The int range itself still loads.
  FakeLoadStore store({"-3 1 1", "1.000000 1 ",
                       "2147483647 -2147483648 255 255 255 100.000000 0 0 0 0 100.000000 0"});
  shownMessages.clear();
  Load(inst, store);
  EXPECT_TRUE(shownMessages.empty());
  ASSERT_EQ(inst->entryCount, 1);
  EXPECT_EQ(inst->entries[0].head->type, 2147483647);
  EXPECT_EQ(inst->entries[0].head->active, 0) << "the low 8 bits of -2147483648";
}

TEST_F(SceneState, GarbageLinesAreRefused) {
  const std::vector<std::vector<std::string>> scenes = {
      {"-3 1 1", "value 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"},
      {"-3 1 1", "1.000000", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"},
      {"-3 1 1", "1.000000 1 ", "0 1 255 x 255 100.000000 0 0 0 0 100.000000 0"},
      {"-3 1 1", "1.000000 1 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000"}, // 11 fields
      {"-3 1 1", "1.000000 1 ", ""},
      {"-3 1 1", "", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"},
  };
  for (size_t i = 0; i < scenes.size(); ++i) {
    ExpectRefused(scenes[i]);
  }
}

TEST_F(SceneState, ALineCutAtTheReadCapacityIsRefusedWhenItLosesFields) {
  // 75 characters of padding push the last fields past the 80 that load reads.
  const std::string padded =
      "0 1 255 255 255 100." + std::string(75, '0') + " 0 0 0 0 100.000000 0";
  ExpectRefused({"-3 1 1", "1.000000 1 ", padded});
}

// ---------------------------------------------------------------------------
// Memory running out during a load

TEST_F(SceneState, RunningOutOfMemoryAnywhereInALoadKeepsTheEntries) {
  const std::vector<std::string> scene = {
      "-3 2 3",
      "1.000000 2 ",
      "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
      "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0",
      "2.000000 1 ",
      "0 1 1 2 3 100.000000 0 0 0 0 100.000000 0",
  };
  // One line table, one entry array, three layers and, once the entries are
  // in, the evaluation's table.
  const long expectedCalls = 6;
  {
    FilterInstance *probe = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    FakeLoadStore store(scene);
    long calls = 0;
    {
      AllocationWatch watch;
      QXLoad(probe, &store.record);
      calls = watch.calls();
    }
    EXPECT_EQ(calls, expectedCalls) << "allocations of a load of two entries and three layers";
    EXPECT_EQ(probe->entryCount, 2);
    QXDestroy(probe);
  }
  for (long failAt = 1; failAt < expectedCalls; ++failAt) {
    SCOPED_TRACE("allocation " + std::to_string(failAt) + " fails");
    shownMessages.clear();
    FilterInstance *target = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    GiveKeptEntries(target);
    const std::string before = Snapshot(target);
    FakeLoadStore store(scene);
    {
      AllocationWatch watch(failAt);
      QXLoad(target, &store.record);
    }
    EXPECT_EQ(Snapshot(target), before) << "the instance changed when memory ran out";
    EXPECT_EQ(Bcount, 2);
    EXPECT_EQ(shownMessages.size(), 1u) << "the user is told that the stored state was not loaded";
    QXDestroy(target);
  }
  // Without memory for the evaluation's table the stored entries are in all
  // the same: the evaluation walks them, and nothing is wrong to tell.
  shownMessages.clear();
  FilterInstance *target = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  FakeLoadStore store(scene);
  {
    AllocationWatch watch(expectedCalls);
    QXLoad(target, &store.record);
  }
  EXPECT_EQ(target->entryCount, 2);
  EXPECT_EQ(target->program, nullptr);
  EXPECT_TRUE(shownMessages.empty());
  EXPECT_EQ(checks::EvaluationAgreesWithTheWalk(target), "");
  QXDestroy(target);
}

} // namespace
