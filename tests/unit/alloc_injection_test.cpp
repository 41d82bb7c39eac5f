// Running out of memory anywhere. Each test below repeats one piece of work
// once for every allocation the module makes in it, with that one allocation
// failing, and then once with none failing. Whatever fails, nothing may
// crash, the instance must stay consistent and usable (it takes a layer,
// saves and loads back), and once it is destroyed nothing the work allocated
// may be left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "common/instance_checks.h"
#include "fake_panel.h"
#include "fake_services.h"
#include "fake_surfaces.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "persist.h"

namespace {

// One piece of work under a failing allocation: `setup` runs unwatched;
// `work` runs with allocation `failAt` failing, if it makes that many;
// `verify` checks the outcome, uses the instance further and destroys it,
// still watched but with nothing failing, so that what the work left
// allocated shows.
struct Scenario {
  std::function<void()> setup;
  std::function<void()> work;
  std::function<void(bool failed)> verify;
};

// Runs the scenario for every allocation of its work; returns how many the
// work makes when none fails.
long SweepAllocationFailures(const Scenario &scenario) {
  for (long failAt = 1; failAt < 100000; ++failAt) {
    SCOPED_TRACE("allocation " + std::to_string(failAt) + " fails");
    scenario.setup();
    AllocationWatch watch(failAt);
    scenario.work();
    watch.stopFailing();
    const bool failed = watch.failed();
    const long made = watch.calls();
    scenario.verify(failed);
    EXPECT_EQ(watch.outstanding(), 0) << "blocks left allocated";
    if (::testing::Test::HasFatalFailure()) return -1;
    if (!failed) return made; // the work needed fewer: every allocation had its turn
  }
  ADD_FAILURE() << "the work never ran to its end";
  return -1;
}

// The instance's state as the scene keeps it, or a fault of its stacks.
std::vector<std::string> StateOf(FilterInstance *inst) {
  const std::string links = checks::StackLinks(inst);
  if (!links.empty()) return {"broken stacks: " + links};
  return checks::SaveLines(inst);
}

// Checks that the instance is consistent and still does its work: it takes
// a new layer, and its state saves and loads back. Then destroys it.
void ExpectUsableThenDestroy(FilterInstance *inst) {
  ASSERT_NE(inst, nullptr);
  EXPECT_EQ(checks::StackLinks(inst), "");
  EXPECT_EQ(checks::EvaluationAgreesWithTheWalk(inst), "");
  if (inst->entryCount > 0) {
    SBEntry &entry = inst->entries[0];
    const int32_t before = GetLayerNum(&entry);
    ASSERT_NE(AddLayer(&entry, 0), nullptr);
    EXPECT_EQ(GetLayerNum(&entry), before + 1);
    entry.on = 1;
  }
  EXPECT_EQ(checks::SaveLoadRoundTrip(inst), "");
  QXDestroy(inst);
}

// A stored state: entry 1.0 on with two layers, entry 3.0 on with one.
const std::vector<std::string> kStored = {
    "-3 2 3",
    "1.000000 2 ",
    "0 1 10 20 30 50.000000 3 7 1 10 25.500000 0",
    "1 1 255 0 128 100.000000 0 0 0 0 100.000000 0",
    "3.000000 1 ",
    "0 1 40 255 255 12.125000 9 11 0 12 100.000000 1",
};

} // namespace

TEST(OutOfMemory, CreateGivesNoInstanceOrOneThatWorks) {
  FakeSurfaces scene{SurfacesWithValues({1.0, 2.0, 3.0})};
  FilterInstance *inst = nullptr;
  const long made = SweepAllocationFailures({
      [&] { inst = nullptr; },
      [&] { inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr)); },
      [&](bool failed) {
        if (inst == nullptr) {
          EXPECT_TRUE(failed) << "no instance without a failure";
          return;
        }
        // Without memory for its entries the instance has none, and says so
        // to the panel's list too. Without memory for the evaluation's table,
        // made last, it has its entries and the evaluation walks them.
        const bool tableFailed = failed && inst->program == nullptr;
        EXPECT_EQ(inst->entryCount, failed && !tableFailed ? 0 : 3);
        EXPECT_EQ(Bcount, inst->entryCount);
        ExpectUsableThenDestroy(inst);
      },
  });
  EXPECT_GE(made, 2) << "the instance and its entries";
}

TEST(OutOfMemory, LoadKeepsTheEntriesItHadOrTakesTheStoredOnes) {
  FakeSurfaces scene{SurfacesWithValues({1.0, 2.0, 3.0})};
  FakeServices services; // the version message goes to "Info Messages 2"
  FilterInstance *inst = nullptr;
  std::vector<std::string> before;
  const long made = SweepAllocationFailures({
      [&] {
        inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
        ASSERT_NE(AddLayer(&inst->entries[1], 0), nullptr);
        inst->entries[1].on = 1;
        PrepareEvaluation(inst);
        before = StateOf(inst);
      },
      [&] { checks::LoadLines(inst, kStored); },
      [&](bool failed) {
        // The evaluation's table is made last: without memory for it the
        // stored entries are in, and the evaluation walks them.
        const bool tableFailed = failed && inst->program == nullptr;
        EXPECT_EQ(StateOf(inst), failed && !tableFailed ? before : kStored);
        ExpectUsableThenDestroy(inst);
      },
  });
  EXPECT_GE(made, 4) << "the entries and three layers at least";
}

TEST(OutOfMemory, CopyGivesTheWholeSourceOrLeavesTheTargetAsItWas) {
  FakeSurfaces scene{SurfacesWithValues({1.0, 2.0, 3.0})};
  FilterInstance *from = nullptr, *to = nullptr;
  std::vector<std::string> source, target;
  const long made = SweepAllocationFailures({
      [&] {
        from = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
        to = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
        ASSERT_EQ(checks::LoadLines(from, kStored), nullptr);
        ASSERT_NE(AddLayer(&to->entries[2], 0), nullptr);
        to->entries[2].on = 1;
        PrepareEvaluation(to);
        source = StateOf(from);
        target = StateOf(to);
      },
      [&] { (void)QXCopy(from, to); },
      [&](bool failed) {
        const bool tableFailed = failed && to->program == nullptr;
        EXPECT_EQ(StateOf(to), failed && !tableFailed ? target : source);
        EXPECT_EQ(StateOf(from), source) << "the copy changed its source";
        ExpectUsableThenDestroy(to);
        ExpectUsableThenDestroy(from);
      },
  });
  EXPECT_GE(made, 4) << "the entries and three layers at least";
}

// A whole editing session in the panel: opening it rebuilds the entries from
// the scene, each pick lists the entry's surfaces, and the session adds
// layers, switches an empty entry on and imports a layer set. After every
// event the panel's selection, stacks and control states must agree.
class OutOfMemoryInThePanel : public ::testing::Test {
protected:
  // Values 1, 2, 1, 3, 4: the scene has one value more than the stored state
  // knows, so opening the panel makes a new entry array.
  FakeSurfaces scene{SurfacesWithValues({1.0, 2.0, 1.0, 3.0, 4.0})};
  FakeServices services;
  FakePanelHost host;
  std::string path;

  void SetUp() override {
    path = ::testing::TempDir() + "qx_oom_" + std::to_string(::getpid()) + ".QXD";
    std::ofstream(path) << "Quintessalux_LayerSet_Ver.1.9\n-3 3\n"
                           "0 1 1 2 3 50 3 7 1 10 25.5 0\n"
                           "1 0 4 5 6 100 0 0 0 0 100 0\n"
                           "0 1 7 8 9 12.5 9 11 0 12 100 1\n";
    services.request.fullName = path;
  }
  void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(OutOfMemoryInThePanel, EverySessionStepKeepsTheInstanceConsistent) {
  FilterInstance *inst = nullptr;
  std::vector<std::string> faults;
  auto fire = [&](FakePanel &panel, int number, intptr_t value, const char *what) {
    FakeControl &control = panel.control(number);
    control.value.intv.type = HOST_VALUE_INT;
    control.value.intv.value = value;
    control.handler(&control.handle, control.userData);
    const std::string fault = checks::Panel(inst);
    if (!fault.empty()) faults.push_back(std::string(what) + ": " + fault);
  };
  host.onOpen = [&](FakePanel &panel) {
    fire(panel, CTL_BUFFER_LIST, 0, "pick entry 1.0");
    fire(panel, CTL_ADD_LAYER, 0, "add a layer");
    fire(panel, CTL_LAYER_LIST, 2, "pick row 2");
    fire(panel, CTL_IMPORT, 0, "import");
    fire(panel, CTL_BUFFER_LIST, 1, "pick entry 2.0");
    fire(panel, CTL_ACTIVE, 1, "switch it on");
    fire(panel, CTL_ADD_LAYER, 0, "add another layer");
    fire(panel, CTL_BUFFER_LIST, 3, "pick entry 4.0");
  };

  const long made = SweepAllocationFailures({
      [&] {
        inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
        ASSERT_EQ(checks::LoadLines(inst, kStored), nullptr);
        faults.clear();
      },
      [&] { EXPECT_EQ(QXOptions(inst), nullptr); },
      [&](bool failed) {
        EXPECT_EQ(faults, std::vector<std::string>());
        if (!failed) {
          // Nothing failed: entry 1.0 got a new layer and the three imported
          // ones, entry 2.0 switched on with two layers.
          EXPECT_EQ(inst->entryCount, 4);
          EXPECT_EQ(GetLayerNum(&inst->entries[0]), 6);
          EXPECT_EQ(GetLayerNum(&inst->entries[1]), 2);
          EXPECT_EQ(inst->entries[1].on, 1);
        }
        EXPECT_EQ(inst->surfNames, nullptr) << "the surface list outlived the panel";
        EXPECT_EQ(inst->surfColors, nullptr);
        ExpectUsableThenDestroy(inst);
      },
  });
  // The new entry array, one surface list a pick, two added layers, the
  // first layer of the empty entry and three imported ones.
  EXPECT_GE(made, 1 + 2 * 3 + 2 + 1 + 3);
}
