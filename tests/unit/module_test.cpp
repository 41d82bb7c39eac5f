// Host binding: the descriptor, the two activations, the collection of the
// scene's special-buffer values, and the life of a filter instance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "effect.h"
#include "fake_surfaces.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"

extern "C" HostModuleDescriptor _mod_descrip;
extern "C" const char *UserNames[2];

namespace {

void *LookupA(const char *, int) { return nullptr; }
void *LookupB(const char *, int) { return nullptr; }

// A filter record as a host hands it over: every slot holds a marker, so that
// a slot the activation did not fill shows.
struct FilterRecord {
  HostInstanceFuncs inst;
  HostItemFuncs item;
  HostRenderFuncs rend;
  HostPixelFilterHandler handler;
  FilterRecord() {
    std::memset(&inst, 0xA5, sizeof inst);
    std::memset(&item, 0xA5, sizeof item);
    std::memset(&rend, 0xA5, sizeof rend);
    std::memset(&handler, 0xA5, sizeof handler);
    handler.inst = &inst;
    handler.item = &item;
    handler.rend = &rend;
  }
};

bool AllBytes(const void *p, size_t n, unsigned char b) {
  const unsigned char *c = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; ++i)
    if (c[i] != b) return false;
  return true;
}

class Activation : public ::testing::Test {
protected:
  HostGlobalFunc *saved = global_func;
  void TearDown() override { global_func = saved; }
};

TEST_F(Activation, DescriptorHoldsTheFixedWordsAndTwoServers) {
  EXPECT_EQ(_mod_descrip.sync, 0x04121994u);
  EXPECT_EQ(_mod_descrip.version, 3u);
  EXPECT_EQ(_mod_descrip.machine, 0x300u);
  EXPECT_EQ(_mod_descrip.startup(), 4);
  _mod_descrip.shutdown();
  const HostServerRecord *s = _mod_descrip.servers;
  EXPECT_STREQ(s[0].className, "PixelFilterHandler");
  EXPECT_STREQ(s[0].name, "Quintessalux");
  EXPECT_EQ(s[0].activate, QXHandler);
  EXPECT_STREQ(s[1].className, "PixelFilterInterface");
  EXPECT_STREQ(s[1].name, "Quintessalux");
  EXPECT_EQ(s[1].activate, QXInterface);
  EXPECT_EQ(s[0].reserved, nullptr);
  EXPECT_EQ(s[2].className, nullptr);
  EXPECT_EQ(s[2].name, nullptr);
  EXPECT_EQ(s[2].activate, nullptr);
  EXPECT_EQ(UserNames[0], nullptr);
  EXPECT_EQ(UserNames[1], nullptr);
}

TEST_F(Activation, UnsupportedVersionsFillNothing) {
  global_func = LookupA;
  for (int version : {3, 5, 0, -4}) {
    FilterRecord rec;
    EXPECT_EQ(QXHandler(version, LookupB, &rec.handler, nullptr), 1) << "version " << version;
    EXPECT_TRUE(AllBytes(&rec.inst, sizeof rec.inst, 0xA5));
    EXPECT_TRUE(AllBytes(&rec.item, sizeof rec.item, 0xA5));
    EXPECT_TRUE(AllBytes(&rec.rend, sizeof rec.rend, 0xA5));
    EXPECT_TRUE(AllBytes(&rec.handler.evaluate, sizeof rec.handler.evaluate, 0xA5));
    HostPixelFilterInterface ui;
    std::memset(&ui, 0xA5, sizeof ui);
    EXPECT_EQ(QXInterface(version, LookupB, &ui, nullptr), 1);
    EXPECT_TRUE(AllBytes(&ui, sizeof ui, 0xA5));
    EXPECT_EQ(global_func, LookupA) << "a refused activation must keep the lookup";
  }
}

TEST_F(Activation, FilterFillsTheThirteenSlotsAndLeavesTheFirst) {
  FilterRecord rec;
  void *hostWord = rec.inst.priv;
  ASSERT_EQ(QXHandler(4, LookupA, &rec.handler, nullptr), 0);
  EXPECT_EQ(rec.inst.priv, hostWord) << "the host's first slot must be left alone";
  EXPECT_EQ(rec.inst.create, QXCreate);
  EXPECT_EQ(rec.inst.destroy, QXDestroy);
  EXPECT_EQ(rec.inst.copy, QXCopy);
  EXPECT_EQ(rec.inst.load, QXLoad);
  EXPECT_EQ(rec.inst.save, QXSave);
  EXPECT_EQ(rec.inst.descln, QXDescribe);
  EXPECT_EQ(rec.item.useItems, QXUseItems);
  EXPECT_EQ(rec.item.changeID, QXChangeID);
  EXPECT_EQ(rec.rend.init, QXInit);
  EXPECT_EQ(rec.rend.cleanup, QXCleanup);
  EXPECT_EQ(rec.rend.newTime, QXNewTime);
  EXPECT_EQ(rec.handler.evaluate, QXEvaluate);
  EXPECT_EQ(rec.handler.flags, QXFlags);
  EXPECT_EQ(global_func, LookupA);
}

TEST_F(Activation, InterfaceFillsItsSlotsAndKeepsTheFilterLookup) {
  FilterRecord rec;
  ASSERT_EQ(QXHandler(4, LookupA, &rec.handler, nullptr), 0);
  HostPixelFilterInterface ui;
  std::memset(&ui, 0xA5, sizeof ui);
  void *hostWord = ui.inst;
  ASSERT_EQ(QXInterface(4, LookupB, &ui, nullptr), 0);
  EXPECT_EQ(ui.inst, hostWord);
  EXPECT_EQ(ui.panel, nullptr);
  EXPECT_EQ(ui.options, QXOptions);
  EXPECT_EQ(ui.command, nullptr);
  EXPECT_EQ(global_func, LookupA) << "the interface must not replace the filter's lookup";
}

TEST_F(Activation, InterfaceFirstLeavesALookupForThePanelUntilAFilterReplacesIt) {
  global_func = nullptr;
  HostPixelFilterInterface ui{};
  ASSERT_EQ(QXInterface(4, LookupB, &ui, nullptr), 0);
  EXPECT_EQ(global_func, LookupB);
  FilterRecord rec;
  ASSERT_EQ(QXHandler(4, LookupA, &rec.handler, nullptr), 0);
  EXPECT_EQ(global_func, LookupA);
}

TEST_F(Activation, LatestFilterActivationKeepsItsLookup) {
  FilterRecord first, second;
  ASSERT_EQ(QXHandler(4, LookupA, &first.handler, nullptr), 0);
  ASSERT_EQ(QXHandler(4, LookupB, &second.handler, nullptr), 0);
  EXPECT_EQ(global_func, LookupB);
}

// --- special-buffer values --------------------------------------------------

std::vector<double> Collect() {
  double values[SB_MAX_ENTRIES];
  const int32_t n = MakeSBList(values);
  return std::vector<double>(values, values + n);
}

TEST(SpecialBufferValues, KeepFirstOccurrenceOrder) {
  FakeSurfaces scene(SurfacesWithValues({2, 1, 2, 3}));
  EXPECT_EQ(Collect(), (std::vector<double>{2, 1, 3}));
}

TEST(SpecialBufferValues, ValuesOneBitApartAreTwoEntries) {
  const double next = std::nextafter(1.0, 2.0);
  FakeSurfaces scene(SurfacesWithValues({1.0, next, 1.0}));
  const auto v = Collect();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], next);
}

TEST(SpecialBufferValues, StopAtTwoHundredFiftySix) {
  std::vector<double> values;
  for (int i = 0; i < 300; ++i) values.push_back(i * 0.5);
  values.push_back(0.0); // a repeat after the cap is still a repeat
  FakeSurfaces scene(SurfacesWithValues(values));
  const auto v = Collect();
  ASSERT_EQ(v.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(v[static_cast<size_t>(i)], i * 0.5);
}

TEST(SpecialBufferValues, NoSurfacesOrNoServiceGiveNone) {
  {
    FakeSurfaces scene({});
    EXPECT_TRUE(Collect().empty());
  }
  {
    FakeSurfaces scene(SurfacesWithValues({1, 2}), FakeSurfaces::Offer::None);
    EXPECT_TRUE(Collect().empty());
  }
}

TEST(SpecialBufferValues, OlderSurfaceServiceServesAsWell) {
  FakeSurfaces scene(SurfacesWithValues({4, 5}), FakeSurfaces::Offer::OldOnly);
  EXPECT_EQ(Collect(), (std::vector<double>{4, 5}));
}

TEST(SpecialBufferValues, SurfaceWithoutTheParameterIsSkipped) {
  auto surfaces = SurfacesWithValues({1, 2, 3});
  surfaces[1].hasSpecial = false;
  FakeSurfaces scene(surfaces);
  EXPECT_EQ(Collect(), (std::vector<double>{1, 3}));
}

// --- instances ---------------------------------------------------------------

FilterInstance *Create() {
  return static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
}

TEST(Instance, FreshInstanceHasOneSwitchedOffEmptyEntryPerValue) {
  FakeSurfaces scene(SurfacesWithValues({2, 1, 2, 3}));
  std::strcpy(Fpath, "left over");
  FilterInstance *inst = Create();
  ASSERT_NE(inst, nullptr);
  EXPECT_STREQ(QXDescribe(inst), "Quintessalux");
  EXPECT_EQ(static_cast<const void *>(QXDescribe(inst)), static_cast<void *>(inst));
  ASSERT_EQ(inst->entryCount, 3);
  EXPECT_EQ(Bcount, 3);
  const double expected[] = {2, 1, 3};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(inst->entries[i].value, expected[i]);
    EXPECT_EQ(inst->entries[i].on, 0);
    EXPECT_EQ(inst->entries[i].head, nullptr);
  }
  EXPECT_EQ(inst->curEntry, 0);
  EXPECT_EQ(inst->previewType, 0);
  EXPECT_EQ(inst->baseColor[0], 1.0f);
  EXPECT_EQ(inst->baseColor[1], 1.0f);
  EXPECT_EQ(inst->baseColor[2], 1.0f);
  EXPECT_EQ(inst->clip.valid, 0);
  EXPECT_EQ(inst->surfNames, nullptr);
  EXPECT_STREQ(Fpath, "") << "create empties the file requester texts";
  EXPECT_EQ(QXUseItems(inst), nullptr);
  EXPECT_EQ(QXInit(inst, 0), nullptr);
  EXPECT_EQ(QXNewTime(inst, 1, 0.04), nullptr);
  QXDestroy(inst);
}

TEST(Instance, SceneWithoutSurfacesGivesNoEntries) {
  FakeSurfaces scene({});
  FilterInstance *inst = Create();
  ASSERT_NE(inst, nullptr);
  EXPECT_EQ(inst->entryCount, 0);
  EXPECT_EQ(QXFlags(inst), 1u);
  QXDestroy(inst);
  QXDestroy(nullptr); // ignored
}

// Destroying an instance whose entries hold layers releases everything; the
// sanitizer run of the suite reports any leak.
TEST(Instance, DestroyReleasesEveryLayer) {
  FakeSurfaces scene(SurfacesWithValues({1, 2}));
  FilterInstance *inst = Create();
  for (int i = 0; i < 5; ++i) AddLayer(&inst->entries[0], 0);
  AddLayer(&inst->entries[1], 0);
  QXDestroy(inst);
}

class Copy : public ::testing::Test {
protected:
  FakeSurfaces scene{SurfacesWithValues({1, 2})};
  FilterInstance *first = Create();
  FilterInstance *second = nullptr;

  void SetUp() override {
    {
      FakeSurfaces other(SurfacesWithValues({7, 8, 9}));
      second = Create();
      AddLayer(&second->entries[2], 0); // must not leak when overwritten
    }
    first->entries[0].on = 1;
    Layer *a = AddLayer(&first->entries[0], 0);
    a->mode = 3;
    a->color[0] = 10;
    Layer *b = AddLayer(&first->entries[0], 7);
    b->type = 1;
    b->active = 0;
    b->intensity = 42.5;
    first->previewType = 2;
    first->curEntry = 0;
    first->curLayer = b;
    std::strcpy(first->description, "Quintessalux");
  }
  void TearDown() override {
    QXDestroy(first);
    QXDestroy(second);
  }
};

TEST_F(Copy, CopyMatchesTheFirstInstance) {
  ASSERT_EQ(QXCopy(first, second), nullptr);
  EXPECT_STREQ(QXDescribe(second), "Quintessalux");
  ASSERT_EQ(second->entryCount, 2);
  EXPECT_EQ(second->entries[0].value, 1.0);
  EXPECT_EQ(second->entries[0].on, 1);
  EXPECT_EQ(second->entries[1].value, 2.0);
  EXPECT_EQ(second->entries[1].on, 0);
  ASSERT_EQ(GetLayerNum(&second->entries[0]), 2);
  const Layer *a = GetLayer(&second->entries[0], 0);
  const Layer *b = GetLayer(&second->entries[0], 1);
  EXPECT_EQ(a->mode, 3);
  EXPECT_EQ(a->color[0], 10);
  EXPECT_EQ(b->type, 1);
  EXPECT_EQ(b->active, 0);
  EXPECT_EQ(b->intensity, 42.5);
  EXPECT_EQ(b->prev, a);
  EXPECT_EQ(second->previewType, 2);
  EXPECT_EQ(second->curLayer, b) << "the selection must point into the copy's own stack";
}

TEST_F(Copy, CopiesLiveIndependently) {
  ASSERT_EQ(QXCopy(first, second), nullptr);
  EXPECT_NE(second->entries, first->entries);
  EXPECT_NE(second->entries[0].head, first->entries[0].head);
  GetLayer(&first->entries[0], 0)->mode = 9;
  EXPECT_EQ(GetLayer(&second->entries[0], 0)->mode, 3)
      << "an edit of the first leaked into the copy";
  QXDestroy(first); // the copy must survive the original
  first = nullptr;
  EXPECT_EQ(GetLayerNum(&second->entries[0]), 2);
  EXPECT_EQ(GetLayer(&second->entries[0], 1)->intensity, 42.5);
}

TEST_F(Copy, CopyOntoItselfChangesNothing) {
  Layer *head = first->entries[0].head;
  EXPECT_EQ(QXCopy(first, first), nullptr);
  EXPECT_EQ(first->entries[0].head, head);
}

} // namespace
