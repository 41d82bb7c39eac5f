// Odd answers from the host: surfaces without names, colours or values, and
// a file requester that fills its buffer to the brim. The module must read
// nothing beyond what it was given and keep working.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/instance_checks.h"
#include "panel_session.h"
#include "persist.h"

namespace {

class OddSurfaces : public ::testing::Test {
protected:
  // Value 1.0 on a surface without a name, on one without a base colour, and
  // on a named white one; a surface without a value at all in between.
  FakeSurfaces scene{{{"", 1.0, {0.5, 0.5, 0.5}, true, false, true},
                      {"NoValue", 0.0, {0.0, 0.0, 0.0}, false},
                      {"NoColour", 1.0, {0.25, 0.25, 0.25}, true, true, false},
                      {"Plain", 1.0, {0.0, 0.5, 1.0}}}};
  FakeServices services;
  FakePanelHost host;
};

} // namespace

TEST_F(OddSurfaces, AreListedWithoutReadingWhatTheHostDidNotGive) {
  FilterInstance *inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  ASSERT_NE(inst, nullptr);
  EXPECT_EQ(inst->entryCount, 1) << "the surface without a value made an entry";

  host.onOpen = [&](FakePanel &panel) {
    FakeControl &list = panel.control(CTL_BUFFER_LIST);
    list.value.intv.type = HOST_VALUE_INT;
    list.value.intv.value = 0;
    list.handler(&list.handle, list.userData);
    ASSERT_EQ(Lcount, 3);
    // A surface without a name shows as an empty row; the others by name.
    EXPECT_STREQ(SLnameFunc(inst, 0), " ");
    EXPECT_STREQ(SLnameFunc(inst, 1), "NoColour");
    EXPECT_STREQ(SLnameFunc(inst, 2), "Plain");

    // Picking the surface without a base colour shows the preview white.
    FakeControl &surfaces = panel.control(CTL_SURFACE_LIST);
    surfaces.value.intv.type = HOST_VALUE_INT;
    for (int row : {2, 1}) {
      surfaces.value.intv.value = row;
      surfaces.handler(&surfaces.handle, surfaces.userData);
    }
    EXPECT_EQ(std::vector<float>(inst->baseColor, inst->baseColor + 3),
              (std::vector<float>{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(checks::Panel(inst), "");
  };
  EXPECT_EQ(QXOptions(inst), nullptr);
  QXDestroy(inst);
}

using OddRequester = PanelSession;

TEST_F(OddRequester, AnAnswerThatFillsTheWholeBufferIsCutAtItsEnd) {
  Give(0, {10}, 1);
  // 300 characters for a buffer of 260, and a directory as long, neither
  // ended: the module reads the first 259 of each and no more.
  services.request.fullName = std::string(300, 'n');
  services.request.leavesPath = std::string(300, 'p');
  services.request.fillsWithoutEnd = true;
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_EXPORT);
    EXPECT_EQ(std::string(Fnode), std::string(259, 'n'));
    EXPECT_EQ(std::string(Fpath), std::string(259, 'p'));
    EXPECT_EQ(services.messages, std::vector<std::string>{"File write error!"})
        << "a name without room for the temporary suffix writes nothing";
    Fire(CTL_IMPORT);
    EXPECT_EQ(std::string(Fnode), std::string(259, 'n'));
    EXPECT_EQ(services.messages.size(), 2u);
    EXPECT_EQ(GetLayerNum(&Entry(0)), 1) << "the import added layers";
    EXPECT_EQ(checks::Panel(inst), "");
  });
}
