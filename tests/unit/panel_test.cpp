// The options panel: how it is built and laid out, how the entries are
// rebuilt from the scene when it opens, what it reports when the host cannot
// give it a panel, and the texts of its three lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "effect.h"
#include "fake_panel.h"
#include "fake_surfaces.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"
#include "preview.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime: whether `p` is a live block of its allocator.
extern "C" int __sanitizer_get_ownership(const volatile void *p);
#define QX_CAN_SEE_RELEASES 1
// Whether the allocator still holds `p` as a live block.
static bool StillAllocated(const void *p) { return __sanitizer_get_ownership(p) != 0; }
#else
#define QX_CAN_SEE_RELEASES 0
#endif

namespace {

const char *const kDrawModeNames[] = {"erased", "rendered", "ghosted", "refreshed"};

std::string DrawModeName(int mode) {
  return mode >= 0 && mode <= 3 ? kDrawModeNames[mode] : "not drawn";
}

std::vector<std::string> ItemsOf(const char **items) {
  std::vector<std::string> out;
  for (int i = 0; items != nullptr && items[i] != nullptr && i < 64; ++i) out.push_back(items[i]);
  return out;
}

const std::vector<std::string> kBufferNames = {
    "None",       "Alpha",        "Luminous", "Diffuse",       "Specular",
    "Reflective", "Transparency", "Shading",  "Diffuse Shade", "Specular Shade",
    "Shadow",     "Geometry",     "Depth"};
const std::vector<std::string> kModeNames = {"AmbientLight", "Add",    "Sub",     "Multiply",
                                             "Difference",   "Screen", "Overlay", "Hue",
                                             "Saturation",   "Value"};

// The panel as its user sees it: kind, label, place, and the creation
// parameters (width, and rows, height or 0; popups name their items).
struct ExpectedControl {
  const char *kind;
  const char *label;
  int x, y;
  int desc;
  int width, extent;
  const std::vector<std::string> *items;
  HostCtlEventFunc *handler;
};

const std::vector<std::string> kLayerTypeItems = {"Surface", "Shadow"};
const std::vector<std::string> kPreviewItems = {"Ball", "Cel-Look Ball", "Shadow"};

const ExpectedControl kExpected[CTL_COUNT] = {
    {"ListBoxControl", "BufferList", 5, 30, 18, 80, 11, nullptr, listEvent},
    {"ListBoxControl", "Surface with select Specialbuffer", 224, 216, 18, 248, 6, nullptr,
     SLlistEvent},
    {"BoolControl", "Active", 5, 2, 8, 0, 0, nullptr, But_Active},
    {"ButtonControl", "Copy", 364, 2, 19, 56, 0, nullptr, But_Copy},
    {"ButtonControl", "Paste", 424, 2, 19, 56, 0, nullptr, But_Pst},
    {"ButtonControl", "Add Layer", 116, 2, 19, 68, 0, nullptr, But_AddLayer},
    {"ButtonControl", "Del Layer", 188, 2, 19, 68, 0, nullptr, But_DelLayer},
    {"ButtonControl", "Export", 116, 216, 19, 80, 0, nullptr, Pop_SaveBuf},
    {"ButtonControl", "Import", 116, 244, 19, 80, 0, nullptr, Pop_LoadBuf},
    {"ButtonControl", "*", 116, 30, 19, 20, 0, nullptr, But_AllLayOn},
    {"ButtonControl", "-", 135, 30, 19, 20, 0, nullptr, But_AllLayOff},
    {"ButtonControl", "I", 154, 30, 19, 20, 0, nullptr, But_AllLayInv},
    {"ListBoxControl", "LayerList", 116, 49, 18, 80, 9, nullptr, LayerlistEvent},
    {"BoolControl", "*/-", 174, 30, 8, 0, 0, nullptr, But_Enabled},
    {"ButtonControl", "up", 116, 185, 19, 40, 0, nullptr, But_LayUp},
    {"ButtonControl", "down", 155, 185, 19, 40, 0, nullptr, But_LayDown},
    {"PopupControl", "LayerType", 224, 32, 9, 96, 0, &kLayerTypeItems, Pop_Ltype},
    {"ButtonControl", "Color", 224, 60, 19, 36, 0, nullptr, But_Col},
    {"MiniRGBControl", "", 256, 60, 5, 0, 0, nullptr, ColorChg},
    {"PercentControl", "Intensity", 224, 88, 15, 0, 100, nullptr, Sli_int},
    {"PopupControl", "Mode", 360, 88, 9, 96, 0, &kModeNames, Pop_type},
    {"PopupControl", "Input Buffer", 224, 116, 9, 112, 0, &kBufferNames, Pop_effect},
    {"BoolControl", "Invert", 408, 116, 8, 0, 0, nullptr, But_inv},
    {"PopupControl", "AlphaBuffer", 224, 144, 9, 112, 0, &kBufferNames, Pop_Alpha},
    {"PercentControl", "AlphaIntensity", 224, 172, 15, 0, 100, nullptr, Sli_boost},
    {"BoolControl", "AlphaInvert", 408, 144, 8, 0, 0, nullptr, But_alpinv},
    {"AreaControl", "", 5, 208, 19, 96, 80, nullptr, Area_Col},
    {"PopupControl", "", 0, 292, 9, 96, 0, &kPreviewItems, Pop_Pre},
};

class OptionsPanel : public ::testing::Test {
protected:
  FakeSurfaces scene{SurfacesWithValues({1.0, 2.0, 3.0})};
  FakePanelHost host;
  FilterInstance *inst = nullptr;

  void SetUp() override {
    inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    ASSERT_NE(inst, nullptr);
  }
  void TearDown() override { QXDestroy(inst); }

  FakePanel &OpenPanel() {
    const char *error = QXOptions(inst);
    EXPECT_EQ(error, nullptr) << "the options reported \"" << (error ? error : "") << "\"";
    EXPECT_NE(host.panel(), nullptr) << "no panel was made";
    return *host.panel();
  }

  // Gives entry `index` a stack of `layers` layers whose red bytes are
  // tag, tag + 1, ... from the top.
  void GiveLayers(int index, int layers, int tag, int16_t on) {
    SBEntry &e = inst->entries[index];
    for (int i = layers - 1; i >= 0; --i) {
      Layer *layer = AddLayer(&e, 0);
      ASSERT_NE(layer, nullptr);
      layer->color[0] = static_cast<uint8_t>(tag + i);
    }
    e.on = on;
  }

  // Replaces the instance's entries with the given values, all off and empty.
  void SetEntries(const std::vector<double> &values) {
    for (int32_t i = 0; i < inst->entryCount; ++i) DelAllLayer(&inst->entries[i]);
    free(inst->entries);
    inst->entries = static_cast<SBEntry *>(calloc(values.size(), sizeof(SBEntry)));
    ASSERT_NE(inst->entries, nullptr);
    for (size_t i = 0; i < values.size(); ++i) inst->entries[i].value = values[i];
    inst->entryCount = static_cast<int32_t>(values.size());
  }
};

// ---------------------------------------------------------------------------
// Construction and layout

TEST_F(OptionsPanel, OpensOneBlockingPanelTitledWithTheVersionAndDestroysItOnClose) {
  bool destroyedWhileOpen = true;
  host.onOpen = [&](FakePanel &panel) { destroyedWhileOpen = panel.destroyed; };
  FakePanel &panel = OpenPanel();
  EXPECT_EQ(host.panelCount(), 1u);
  EXPECT_EQ(panel.title, "Quintessalux ver. 1.9");
  EXPECT_TRUE(panel.opened) << "the panel was never opened";
  EXPECT_EQ(panel.openFlags, HOST_PANF_BLOCKING);
  EXPECT_FALSE(destroyedWhileOpen) << "the panel was destroyed before it was opened";
  EXPECT_TRUE(panel.destroyed) << "the panel was not destroyed after it closed";
}

TEST_F(OptionsPanel, MakesTheTwentyEightControlsInOrderWithTheirKindsLabelsAndParameters) {
  FakePanel &panel = OpenPanel();
  ASSERT_EQ(panel.controls.size(), static_cast<size_t>(CTL_COUNT));
  for (int i = 0; i < CTL_COUNT; ++i) {
    const ExpectedControl &want = kExpected[i];
    const FakeControl &got = panel.control(i);
    SCOPED_TRACE("control " + std::to_string(i) + " \"" + want.label + "\"");
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.label, want.label);
    EXPECT_EQ(got.desc.type, want.desc) << "descriptor tag";
    switch (want.desc) {
    case HOST_DESC_LIST:
      EXPECT_EQ(got.desc.list.width, want.width) << "list width";
      EXPECT_EQ(got.desc.list.visibleRows, want.extent) << "visible rows";
      break;
    case HOST_DESC_AREA:
      EXPECT_EQ(got.desc.area.width, want.width) << "width";
      EXPECT_EQ(got.desc.area.height, want.extent) << "height (0 for a button)";
      break;
    case HOST_DESC_CHOICE:
      EXPECT_EQ(got.desc.choice.width, want.width) << "popup width";
      EXPECT_EQ(ItemsOf(got.desc.choice.items), *want.items) << "popup items";
      break;
    case HOST_DESC_RANGE:
      EXPECT_EQ(got.desc.range.min, 0);
      EXPECT_EQ(got.desc.range.max, 100);
      break;
    default:
      break;
    }
  }
  // The three lists ask the module for their rows.
  EXPECT_EQ(panel.control(0).desc.list.count, countFunc);
  EXPECT_EQ(panel.control(0).desc.list.name, nameFunc);
  EXPECT_EQ(panel.control(1).desc.list.count, SLcountFunc);
  EXPECT_EQ(panel.control(1).desc.list.name, SLnameFunc);
  EXPECT_EQ(panel.control(12).desc.list.count, LayerCountFunc);
  EXPECT_EQ(panel.control(12).desc.list.name, LayerNameFunc);
}

TEST_F(OptionsPanel, PlacesEachControlXThenYInCreationOrder) {
  FakePanel &panel = OpenPanel();
  std::vector<std::pair<int, int>> placements, expected;
  for (const auto &set : host.setLog) {
    if (set.second == HOST_CTL_X || set.second == HOST_CTL_Y) placements.push_back(set);
  }
  for (int i = 0; i < CTL_COUNT; ++i) {
    expected.emplace_back(i, HOST_CTL_X);
    expected.emplace_back(i, HOST_CTL_Y);
    EXPECT_EQ(panel.control(i).x, kExpected[i].x)
        << "x of control " << i << " " << kExpected[i].label;
    EXPECT_EQ(panel.control(i).y, kExpected[i].y)
        << "y of control " << i << " " << kExpected[i].label;
  }
  EXPECT_EQ(placements, expected) << "controls were not placed one by one, x before y";
}

TEST_F(OptionsPanel, StartsWithNothingSelectedActiveErasedAndTheLayerControlsGhostedInOrder) {
  inst->curEntry = 1;
  inst->curLayerNo = 4;
  inst->layerCount = 7;
  Layer dangling{};
  inst->curLayer = &dangling;
  std::memset(inst->ctlOn, 1, sizeof inst->ctlOn);
  std::vector<std::pair<int, int>> drawsAtOpen;
  int curEntry = 0, curLayerNo = 0, layerCount = -1;
  const Layer *curLayer = &dangling;
  host.onOpen = [&](FakePanel &) {
    drawsAtOpen = host.drawLog;
    curEntry = inst->curEntry;
    curLayerNo = inst->curLayerNo;
    layerCount = inst->layerCount;
    curLayer = inst->curLayer;
  };
  FakePanel &panel = OpenPanel();

  EXPECT_EQ(curEntry, -1);
  EXPECT_EQ(curLayerNo, -1);
  EXPECT_EQ(layerCount, 0);
  EXPECT_EQ(curLayer, nullptr);
  for (int i = 0; i < CTL_COUNT; ++i) EXPECT_EQ(inst->ctlOn[i], 0) << "control " << i << " live";

  std::vector<std::pair<int, int>> expected = {{2, HOST_DRAW_ERASE}};
  for (int n : {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 3, 4, 5, 6, 7, 8, 9, 10, 11})
    expected.emplace_back(n, HOST_DRAW_GHOST);
  ASSERT_EQ(drawsAtOpen.size(), expected.size()) << "draw calls before the panel opened";
  for (size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(drawsAtOpen[k], expected[k])
        << "draw call " << k << ": control " << drawsAtOpen[k].first << " "
        << DrawModeName(drawsAtOpen[k].second) << ", expected control " << expected[k].first << " "
        << DrawModeName(expected[k].second);
  }
  for (int n : {0, 1, 12, 26, 27})
    EXPECT_TRUE(panel.control(n).draws.empty()) << "control " << n << " was drawn before opening";

  const FakeControl &active = panel.control(2);
  ASSERT_TRUE(active.valueSet);
  EXPECT_EQ(active.value.type, HOST_VALUE_INT);
  EXPECT_EQ(active.value.intv.value, 0);
  const FakeControl &swatch = panel.control(18);
  ASSERT_TRUE(swatch.valueSet);
  EXPECT_EQ(swatch.value.type, HOST_VALUE_IVEC);
  EXPECT_EQ(swatch.value.ivec.value[0], 0);
  EXPECT_EQ(swatch.value.ivec.value[1], 0);
  EXPECT_EQ(swatch.value.ivec.value[2], 0);
  const FakeControl &intensity = panel.control(19);
  ASSERT_TRUE(intensity.valueSet);
  EXPECT_EQ(intensity.value.type, HOST_VALUE_FLOAT);
  EXPECT_EQ(intensity.value.flt.value, 0.0);
  const FakeControl &mode = panel.control(20);
  ASSERT_TRUE(mode.valueSet);
  EXPECT_EQ(mode.value.type, HOST_VALUE_INT);
  EXPECT_EQ(mode.value.intv.value, 0);
}

TEST_F(OptionsPanel, PreviewTypePopupShowsTheInstancesPreviewType) {
  inst->previewType = 2;
  FakePanel &panel = OpenPanel();
  const FakeControl &popup = panel.control(27);
  ASSERT_TRUE(popup.valueSet) << "the preview-type popup was given no value";
  EXPECT_EQ(popup.value.type, HOST_VALUE_INT);
  EXPECT_EQ(popup.value.intv.value, 2) << "the popup shows preview type " << popup.value.intv.value
                                       << ", the instance holds \"Shadow\" (2)";
}

TEST_F(OptionsPanel, EveryControlCarriesTheInstanceAndThenItsHandler) {
  // The panel state that the handlers find through the instance while the
  // panel is open; once the host has destroyed the panel, none of it is left.
  bool sawOpen = false;
  host.onOpen = [&](FakePanel &open) {
    sawOpen = true;
    EXPECT_EQ(inst->panelFuncs, host.services());
    EXPECT_EQ(inst->panel, static_cast<HostPanelID>(&open));
    for (int i = 0; i < CTL_COUNT; ++i)
      EXPECT_EQ(inst->ctl[i], &open.control(i).handle) << "ctl[" << i << "] while open";
  };
  FakePanel &panel = OpenPanel();
  EXPECT_TRUE(sawOpen);
  for (int i = 0; i < CTL_COUNT; ++i) {
    const FakeControl &c = panel.control(i);
    EXPECT_EQ(c.userData, inst) << "user data of control " << i << " " << kExpected[i].label;
    EXPECT_EQ(c.handler, kExpected[i].handler)
        << "event handler of control " << i << " " << kExpected[i].label;
    std::vector<int> tags;
    for (const auto &set : host.setLog) {
      if (set.first == i && (set.second == HOST_CTL_USERDATA || set.second == HOST_CTL_EVENT))
        tags.push_back(set.second);
    }
    EXPECT_EQ(tags, (std::vector<int>{HOST_CTL_USERDATA, HOST_CTL_EVENT}))
        << "control " << i << ": user data must be set once, before the handler";
  }
  EXPECT_EQ(inst->panelFuncs, nullptr) << "after the panel closed";
  EXPECT_EQ(inst->panel, nullptr) << "after the panel closed";
  for (int i = 0; i < CTL_COUNT; ++i) {
    EXPECT_EQ(inst->ctl[i], nullptr) << "ctl[" << i << "] after the panel closed";
    EXPECT_EQ(inst->ctlOn[i], 0) << "ctlOn[" << i << "] after the panel closed";
  }
}

TEST_F(OptionsPanel, IsSizedCentredOnTheDisplayAndDrawnByRedraw) {
  FakePanel &panel = OpenPanel();
  EXPECT_EQ(panel.width, 384);
  EXPECT_EQ(panel.height, 348);
  EXPECT_EQ(panel.x, 768) << "(1920 - 384) / 2";
  EXPECT_EQ(panel.y, 366) << "(1080 - 348) / 2";
  EXPECT_EQ(panel.drawFunc, redraw);
  EXPECT_EQ(panel.drawData, inst);
}

TEST_F(OptionsPanel, CentringTruncatesTowardZeroOnOddAndSmallDisplays) {
  struct Case {
    int w, h, x, y;
  };
  for (const Case &c : {Case{1001, 701, 308, 176}, Case{301, 201, -41, -73}}) {
    host.display.width = c.w;
    host.display.height = c.h;
    FakePanel &panel = OpenPanel();
    EXPECT_EQ(panel.x, c.x) << "on a " << c.w << "x" << c.h << " display";
    EXPECT_EQ(panel.y, c.y) << "on a " << c.w << "x" << c.h << " display";
  }
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(OptionsPanel, WithoutPanelServicesItReportsAndChangesNothing) {
  GiveLayers(0, 2, 10, 1);
  scene.surfaces() = SurfacesWithValues({9.0}); // a rebuild would drop every entry
  host.offerPanels = false;
  unsigned char before[sizeof(FilterInstance)];
  std::memcpy(before, inst, sizeof before);
  const SBEntry firstBefore = inst->entries[0];

  const char *error = QXOptions(inst);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Could not access Panels global!");
  EXPECT_EQ(std::memcmp(before, inst, sizeof before), 0) << "the instance record changed";
  EXPECT_EQ(inst->entries[0].head, firstBefore.head);
  EXPECT_EQ(inst->entries[0].on, 1);
  EXPECT_EQ(GetLayerNum(&inst->entries[0]), 2);
  EXPECT_EQ(host.panelCount(), 0u);
}

TEST_F(OptionsPanel, WhenThePanelCannotBeMadeItReportsAndChangesNothing) {
  GiveLayers(1, 1, 20, 1);
  scene.surfaces() = SurfacesWithValues({9.0});
  host.failCreate = true;
  unsigned char before[sizeof(FilterInstance)];
  std::memcpy(before, inst, sizeof before);

  const char *error = QXOptions(inst);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Could not create requester panel!");
  EXPECT_EQ(std::memcmp(before, inst, sizeof before), 0) << "the instance record changed";
  EXPECT_EQ(inst->entryCount, 3);
  EXPECT_EQ(GetLayerNum(&inst->entries[1]), 1);
}

// ---------------------------------------------------------------------------
// Rebuilding the entries from the scene

TEST_F(OptionsPanel, ReopeningKeepsPresentValuesDropsVanishedOnesAndAddsNewOnesOffAndEmpty) {
  GiveLayers(0, 2, 10, 1); // value 1: on, two layers
  GiveLayers(1, 1, 20, 1); // value 2: vanishes
  GiveLayers(2, 3, 30, 0); // value 3: off, three layers
  Layer *keptOne = inst->entries[0].head;
  Layer *keptThree = inst->entries[2].head;
#if QX_CAN_SEE_RELEASES
  const Layer *dropped = inst->entries[1].head;
#endif
  scene.surfaces() = SurfacesWithValues({3.0, 4.0, 1.0, 4.0});
  Bcount = 99;
  Lcount = 5;

  OpenPanel();
  ASSERT_EQ(inst->entryCount, 3);
  EXPECT_EQ(Bcount, 3);
  EXPECT_EQ(Lcount, 0);
  EXPECT_EQ(inst->entries[0].value, 3.0);
  EXPECT_EQ(inst->entries[0].on, 0);
  EXPECT_EQ(inst->entries[0].head, keptThree) << "value 3 lost its stack";
  EXPECT_EQ(GetLayerNum(&inst->entries[0]), 3);
  EXPECT_EQ(inst->entries[1].value, 4.0);
  EXPECT_EQ(inst->entries[1].on, 0) << "a new value starts off";
  EXPECT_EQ(inst->entries[1].head, nullptr) << "a new value starts empty";
  EXPECT_EQ(inst->entries[2].value, 1.0);
  EXPECT_EQ(inst->entries[2].on, 1);
  EXPECT_EQ(inst->entries[2].head, keptOne) << "value 1 lost its stack";
  EXPECT_EQ(GetLayerNum(&inst->entries[2]), 2);
#if QX_CAN_SEE_RELEASES
  EXPECT_FALSE(StillAllocated(dropped)) << "the stack of the vanished value 2 was not released";
#endif
}

TEST_F(OptionsPanel, OfDuplicateOldValuesTheAppliedStackIsKeptAndTheOthersReleased) {
  // After a load, one value can stand in several entries. The evaluation
  // applies the first that is on and holds layers: entry 2 here.
  SetEntries({2.0, 2.0, 2.0, 2.0, 5.0});
  inst->entries[0].on = 1; // on but empty
  GiveLayers(1, 1, 10, 0); // off
  GiveLayers(2, 2, 20, 1); // on, two layers: the one applied
  GiveLayers(3, 1, 30, 1); // on, but after it
  GiveLayers(4, 1, 40, 1);
  Layer *applied = inst->entries[2].head;
#if QX_CAN_SEE_RELEASES
  const Layer *others[] = {inst->entries[1].head, inst->entries[3].head, inst->entries[4].head};
#endif
  scene.surfaces() = SurfacesWithValues({2.0});

  OpenPanel();
  ASSERT_EQ(inst->entryCount, 1);
  EXPECT_EQ(inst->entries[0].value, 2.0);
  EXPECT_EQ(inst->entries[0].on, 1);
  const Layer *kept = inst->entries[0].head;
  ASSERT_EQ(kept, applied) << "value 2 kept "
                           << (kept ? "the stack whose top layer has red " +
                                          std::to_string(kept->color[0])
                                    : std::string("no stack"))
                           << ", expected the applied one (red 20)";
#if QX_CAN_SEE_RELEASES
  ASSERT_TRUE(StillAllocated(applied)) << "the kept stack reads as released";
#endif
  EXPECT_EQ(GetLayerNum(&inst->entries[0]), 2);
#if QX_CAN_SEE_RELEASES
  for (const Layer *other : others)
    EXPECT_FALSE(StillAllocated(other)) << "a duplicate's stack was not released";
#endif
}

TEST_F(OptionsPanel, OfDuplicateOldValuesNoneAppliedTheFirstIsKept) {
  SetEntries({2.0, 2.0, 2.0});
  GiveLayers(0, 1, 10, 0); // off
  inst->entries[1].on = 1; // on but empty
  GiveLayers(2, 2, 20, 0); // off
  Layer *first = inst->entries[0].head;
#if QX_CAN_SEE_RELEASES
  const Layer *third = inst->entries[2].head;
#endif

  OpenPanel(); // the scene carries 1, 2 and 3
  ASSERT_EQ(inst->entryCount, 3);
  EXPECT_EQ(inst->entries[1].value, 2.0);
  EXPECT_EQ(inst->entries[1].head, first) << "value 2 should keep the first entry's stack";
  EXPECT_EQ(inst->entries[1].on, 0) << "and its switch";
  EXPECT_EQ(inst->entries[0].head, nullptr);
  EXPECT_EQ(inst->entries[2].head, nullptr);
#if QX_CAN_SEE_RELEASES
  EXPECT_FALSE(StillAllocated(third)) << "the third duplicate's stack was not released";
#endif
}

TEST_F(OptionsPanel, ASceneWithoutSurfacesLeavesNoEntries) {
  GiveLayers(0, 2, 10, 1);
  GiveLayers(2, 1, 30, 0);
  scene.surfaces().clear();
  OpenPanel();
  EXPECT_EQ(inst->entryCount, 0);
  EXPECT_EQ(inst->entries, nullptr);
  EXPECT_EQ(Bcount, 0);
  EXPECT_EQ(countFunc(inst), 0);
}

TEST_F(OptionsPanel, WhenTheNewEntriesCannotBeAllocatedTheOldOnesStayAndThePanelStillOpens) {
  GiveLayers(0, 2, 10, 1);
  SBEntry *oldEntries = inst->entries;
  Layer *oldHead = inst->entries[0].head;
  scene.surfaces() = SurfacesWithValues({1.0, 7.0}); // a rebuild would drop 2 and 3
  bool opened = false;
  host.onOpen = [&](FakePanel &) { opened = true; };
  long calls = 0;
  const char *error = nullptr;
  {
    AllocationWatch failFirst(1);
    error = QXOptions(inst);
    calls = failFirst.calls();
  }
  ASSERT_GE(calls, 1) << "the rebuild asked for no memory, so no failure was provoked";
  EXPECT_EQ(error, nullptr);
  EXPECT_TRUE(opened) << "the panel did not open on the old entries";
  EXPECT_EQ(inst->entries, oldEntries);
  ASSERT_EQ(inst->entryCount, 3);
  EXPECT_EQ(Bcount, 3) << "the buffer list must count the entries the instance has";
  EXPECT_EQ(inst->entries[0].head, oldHead);
  EXPECT_EQ(inst->entries[0].on, 1);
  EXPECT_EQ(GetLayerNum(&inst->entries[0]), 2);
  EXPECT_EQ(inst->entries[1].value, 2.0);
  EXPECT_EQ(inst->entries[2].value, 3.0);
}

TEST_F(OptionsPanel, RebuildReportsAFailedAllocationAndKeepsTheEntries) {
  GiveLayers(1, 1, 20, 1);
  SBEntry *oldEntries = inst->entries;
  scene.surfaces() = SurfacesWithValues({5.0});
  int result = 0;
  {
    AllocationWatch failFirst(1);
    result = RebuildEntries(inst);
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(inst->entries, oldEntries);
  EXPECT_EQ(inst->entryCount, 3);
  EXPECT_EQ(GetLayerNum(&inst->entries[1]), 1);
  EXPECT_EQ(RebuildEntries(inst), 0) << "with memory, the same rebuild succeeds";
  EXPECT_EQ(inst->entryCount, 1);
  EXPECT_EQ(inst->entries[0].value, 5.0);
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(OptionsPanel, ClosingReleasesTheSurfaceListAndKeepsEdits) {
  const char **names = nullptr;
  float(*colours)[3] = nullptr;
  host.onOpen = [&](FakePanel &) {
    // What picking a buffer row leaves behind, and an edit.
    names = static_cast<const char **>(malloc(2 * sizeof(const char *)));
    colours = static_cast<float(*)[3]>(malloc(2 * sizeof(float[3])));
    inst->surfNames = names;
    inst->surfColors = colours;
    Lcount = 2;
    inst->entries[1].on = 1;
    AddLayer(&inst->entries[1], 0);
  };
  OpenPanel();
  EXPECT_EQ(inst->surfNames, nullptr);
  EXPECT_EQ(inst->surfColors, nullptr);
#if QX_CAN_SEE_RELEASES
  EXPECT_FALSE(StillAllocated(names)) << "the surface names were not released";
  EXPECT_FALSE(StillAllocated(colours)) << "the surface colours were not released";
#endif
  EXPECT_EQ(inst->entries[1].on, 1) << "an edit made while open was lost";
  EXPECT_EQ(GetLayerNum(&inst->entries[1]), 1) << "a layer added while open was lost";
}

// ---------------------------------------------------------------------------
// List texts

TEST_F(OptionsPanel, BufferRowsMarkTheSwitchAndShowTheValueWithTwoDecimals) {
  SetEntries({2.0, 0.5, 1e300});
  inst->entries[0].on = 1;
  Bcount = 3;
  EXPECT_STREQ(nameFunc(inst, 0), " *       2.00");
  EXPECT_STREQ(nameFunc(inst, 1), " -       0.50");
  const std::string huge = nameFunc(inst, 2);
  EXPECT_EQ(huge.rfind(" -       1000000", 0), 0u) << "row of 1e300 reads \"" << huge << "\"";
  EXPECT_LT(huge.size(), 64u) << "a very large value must be cut to the row buffer";
  EXPECT_STREQ(nameFunc(inst, 3), " ");
  EXPECT_STREQ(nameFunc(inst, -1), " ");
  EXPECT_STREQ(nameFunc(nullptr, 0), " ");
  Bcount = 10; // left by another instance: rows past this instance's entries stay blank
  EXPECT_STREQ(nameFunc(inst, 5), " ");
  EXPECT_EQ(countFunc(inst), 3);
  EXPECT_EQ(countFunc(nullptr), 0);
}

TEST_F(OptionsPanel, LayerRowsShowTheSwitchTheTypeSymbolAndTheModeName) {
  SBEntry &e = inst->entries[0];
  GiveLayers(0, 4, 0, 1);
  Layer *l0 = GetLayer(&e, 0), *l1 = GetLayer(&e, 1), *l2 = GetLayer(&e, 2), *l3 = GetLayer(&e, 3);
  l0->type = 0, l0->active = 1, l0->mode = 0;
  l1->type = 1, l1->active = 1, l1->mode = 3;
  l2->type = 2, l2->active = 0, l2->mode = 9;
  l3->type = 0, l3->active = 1, l3->mode = 42;
  inst->curEntry = 0;
  inst->layerCount = 4;

  EXPECT_STREQ(LayerNameFunc(inst, 0), "* \x81\x9B AmbientLight");
  EXPECT_STREQ(LayerNameFunc(inst, 1), "* \x81\x9C Multiply");
  EXPECT_STREQ(LayerNameFunc(inst, 2), "- \x81\x9D Value");
  EXPECT_STREQ(LayerNameFunc(inst, 3), "* \x81\x9B ?") << "a damaged mode reads no name";
  EXPECT_STREQ(LayerNameFunc(inst, -1), "* \x81\x9B ?") << "row -1 is the last layer";
  // Beyond the list the last text stays.
  EXPECT_STREQ(LayerNameFunc(inst, 1), "* \x81\x9C Multiply");
  EXPECT_STREQ(LayerNameFunc(inst, 4), "* \x81\x9C Multiply");
  // Damaged stored numbers: a type without a symbol shows a neutral mark
  // rather than the last row's text, and any switch but 0 is on, as the
  // evaluation has it.
  l1->type = 5, l1->active = 7;
  EXPECT_STREQ(LayerNameFunc(inst, 1), "* ? Multiply");
  l1->type = -1, l1->active = -3;
  EXPECT_STREQ(LayerNameFunc(inst, 1), "* ? Multiply");
  inst->layerCount = 0;
  EXPECT_STREQ(LayerNameFunc(inst, 0), "* ? Multiply");
  EXPECT_STREQ(LayerNameFunc(nullptr, 0), " ");
  EXPECT_EQ(LayerCountFunc(nullptr), 0);
  inst->layerCount = 2;
  EXPECT_EQ(LayerCountFunc(inst), 2);
  inst->curEntry = 1; // an entry without layers
  EXPECT_STREQ(LayerNameFunc(inst, 0), " ");
}

TEST_F(OptionsPanel, SurfaceRowsAreTheHostsNamesThemselves) {
  const char *names[2] = {"Skin", "Cloth"};
  inst->surfNames = names;
  Lcount = 2;
  EXPECT_EQ(SLcountFunc(inst), 2);
  EXPECT_EQ(SLnameFunc(inst, 0), names[0]);
  EXPECT_EQ(SLnameFunc(inst, 1), names[1]);
  EXPECT_STREQ(SLnameFunc(inst, 2), " ");
  EXPECT_STREQ(SLnameFunc(inst, -1), " ");
  inst->surfNames = nullptr;
  Lcount = 0;
  EXPECT_STREQ(SLnameFunc(inst, 0), " ");
}

TEST_F(OptionsPanel, TheBufferListAsksTheModuleForItsRowsWhileOpen) {
  GiveLayers(1, 1, 0, 1);
  std::string row0, row1;
  int count = -1;
  host.onOpen = [&](FakePanel &panel) {
    const FakeControl &list = panel.control(0);
    count = list.desc.list.count(list.userData);
    row0 = list.desc.list.name(list.userData, 0);
    row1 = list.desc.list.name(list.userData, 1);
  };
  OpenPanel();
  EXPECT_EQ(count, 3);
  EXPECT_EQ(row0, " -       1.00");
  EXPECT_EQ(row1, " *       2.00");
}

} // namespace
