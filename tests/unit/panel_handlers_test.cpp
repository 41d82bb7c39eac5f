// Editing in the options panel: picking rows of the three lists, which
// controls each selection makes live, the layer commands, the layer property
// controls with the colour swatch's throttle, and colour picking. Each test
// opens the panel on a small scene and plays events the way the host does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "common/instance_checks.h"
#include "effect.h"
#include "panel_session.h"

using panel_session::Names;
using panel_session::Tags;
using panel_session::TagText;

namespace {

// Live controls with an entry that is on and its layer selected, before any
// copy: the stack commands, the layer commands but "Paste", the properties.
// "Del Layer", "up", "down" and the five buffer controls depend on the case.
std::set<int> LayerSelected(std::initializer_list<int> more) {
  std::set<int> live = {CTL_ACTIVE,  CTL_ADD_LAYER,  CTL_EXPORT,    CTL_IMPORT,  CTL_ALL_ON,
                        CTL_ALL_OFF, CTL_ALL_INVERT, CTL_COPY,      CTL_ENABLED, CTL_LAYER_TYPE,
                        CTL_COLOR,   CTL_SWATCH,     CTL_INTENSITY, CTL_MODE};
  live.insert(more);
  return live;
}

const std::initializer_list<int> kBufferControls = {CTL_IN_BUFFER, CTL_INVERT, CTL_ALPHA_BUFFER,
                                                    CTL_ALPHA_INTENSITY, CTL_ALPHA_INVERT};

// A layer with every property away from its default.
void Dress(Layer *l, int type, int active, std::vector<int> rgb, double intensity, int mode,
           int inBuffer, int invert, int alphaBuffer, double alphaIntensity, int alphaInvert) {
  l->type = type;
  l->active = static_cast<int8_t>(active);
  for (int c = 0; c < 3; ++c) l->color[c] = static_cast<uint8_t>(rgb[c]);
  l->intensity = intensity;
  l->mode = mode;
  l->inBuffer = inBuffer;
  l->invert = static_cast<int8_t>(invert);
  l->alphaBuffer = alphaBuffer;
  l->alphaIntensity = alphaIntensity;
  l->alphaInvert = static_cast<int8_t>(alphaInvert);
}

} // namespace

// ---------------------------------------------------------------------------
// Picking rows

using ListPicks = PanelSession;

TEST_F(ListPicks, AnEntryThatIsOffListsNoLayersAndOnlyItsActiveBoxIsLive) {
  Give(0, {10, 11}, 0);
  WhileOpen([&] {
    PickEntry(0);
    EXPECT_EQ(inst->curEntry, 0);
    EXPECT_EQ(inst->layerCount, 0) << "the layers of an entry that is off are listed";
    EXPECT_EQ(inst->curLayerNo, -1);
    EXPECT_EQ(inst->curLayer, nullptr);
    EXPECT_EQ(IntShown(CTL_ACTIVE), 0) << "the Active box does not show the entry's switch";
    EXPECT_EQ(Names(Live()), Names({CTL_ACTIVE}));
    EXPECT_EQ(TagText(Tags(Entry(0))), "[10 11]") << "picking the row changed the stack";
  });
}

TEST_F(ListPicks, AnEntryThatIsOnWithThreeLayersSelectsRowZeroAndShowsTheFirstLayer) {
  std::vector<Layer *> l = Give(0, {10, 11, 12}, 1);
  Dress(l[0], 1, 1, {10, 20, 30}, 62.5, 3, 7, 1, 10, 12.25, 1);
  WhileOpen([&] {
    PickEntry(0);
    EXPECT_EQ(inst->layerCount, 3);
    EXPECT_EQ(inst->curLayerNo, 0);
    EXPECT_EQ(inst->curLayer, l[0]) << "the selected layer is not the top of the stack";
    EXPECT_EQ(IntShown(CTL_LAYER_LIST), 0) << "the layer list does not show row 0 selected";
    EXPECT_EQ(IntShown(CTL_ACTIVE), 1);
    // Mode "Multiply" reads the buffers, so their controls are live too.
    std::set<int> expected = LayerSelected({CTL_DEL_LAYER, CTL_DOWN});
    expected.insert(kBufferControls);
    EXPECT_EQ(Names(Live()), Names(expected));
    // The property controls show the layer.
    EXPECT_EQ(IntShown(CTL_LAYER_TYPE), 1);
    EXPECT_EQ(IntShown(CTL_ENABLED), 1);
    EXPECT_EQ(ColourShown(), (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(FloatShown(CTL_INTENSITY), 62.5);
    EXPECT_EQ(IntShown(CTL_MODE), 3);
    EXPECT_EQ(IntShown(CTL_IN_BUFFER), 7);
    EXPECT_EQ(IntShown(CTL_INVERT), 1);
    EXPECT_EQ(IntShown(CTL_ALPHA_BUFFER), 10);
    EXPECT_EQ(FloatShown(CTL_ALPHA_INTENSITY), 12.25);
    EXPECT_EQ(IntShown(CTL_ALPHA_INVERT), 1);
  });
}

TEST_F(ListPicks,
       RefreshesActiveAndTheListsThenTheStackCommandsThenTheLayerControlsThenThePreview) {
  Give(0, {10, 11}, 1);
  WhileOpen([&] {
    const size_t from = host.drawLog.size();
    const auto before = Snapshot();
    PickEntry(0);
    const auto draws = DrawsSince(from);
    ASSERT_GE(draws.size(), 4u);
    // The entry level first: "Active", then the surface list and the layer list.
    EXPECT_EQ(draws[0], std::make_pair(int(CTL_ACTIVE), int(HOST_DRAW_RENDER)));
    EXPECT_EQ(draws[1], std::make_pair(int(CTL_SURFACE_LIST), int(HOST_DRAW_REFRESH)));
    EXPECT_EQ(draws[2], std::make_pair(int(CTL_LAYER_LIST), int(HOST_DRAW_REFRESH)));
    EXPECT_EQ(draws[3], std::make_pair(int(CTL_ADD_LAYER), int(HOST_DRAW_RENDER)))
        << "the stack commands do not follow the entry level";
    size_t addAt = 0, copyAt = 0;
    for (size_t i = 0; i < draws.size(); ++i) {
      if (draws[i].first == CTL_ADD_LAYER) addAt = i;
      if (draws[i].first == CTL_COPY) copyAt = i;
    }
    EXPECT_LT(addAt, copyAt) << "the layer controls were refreshed before the stack commands";
    EXPECT_EQ(RedrawnSince(before), "the whole preview");
  });
}

TEST_F(ListPicks, NoValidRowClearsTheSelectionAndKeepsTheSurfaceListAndTheActiveBox) {
  Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    ASSERT_EQ(Lcount, 2);
    const char **names = inst->surfNames;
    // Another instance's panel can leave the module-wide row count larger
    // than this instance's entries: row 3 must still select nothing.
    Bcount = 10;
    for (int row : {-1, 3}) {
      PickEntry(row);
      EXPECT_EQ(inst->curEntry, -1) << "row " << row;
      EXPECT_EQ(inst->curLayer, nullptr) << "row " << row;
      EXPECT_EQ(inst->curLayerNo, -1) << "row " << row;
      EXPECT_EQ(inst->layerCount, 0) << "row " << row;
      EXPECT_EQ(Lcount, 2) << "row " << row << " emptied the surface list";
      EXPECT_EQ(inst->surfNames, names) << "row " << row << " rebuilt the surface list";
      EXPECT_EQ(IntShown(CTL_ACTIVE), 1) << "row " << row << " changed the Active box";
      EXPECT_EQ(Names(Live()), Names({})) << "row " << row;
    }
  });
}

TEST_F(ListPicks, TheSurfaceListHoldsTheSurfacesOfTheValueInHostOrderAndSetsTheBaseColour) {
  WhileOpen([&] {
    PickEntry(0); // value 1: "Red" and "Crimson"
    ASSERT_EQ(Lcount, 2);
    ASSERT_NE(inst->surfNames, nullptr);
    EXPECT_STREQ(inst->surfNames[0], "Red");
    EXPECT_STREQ(inst->surfNames[1], "Crimson");
    EXPECT_STREQ(SLnameFunc(inst, 1), "Crimson");

    auto before = Snapshot();
    FireInt(CTL_SURFACE_LIST, 1);
    EXPECT_EQ(inst->baseColor[0], 0.5f);
    EXPECT_EQ(inst->baseColor[1], 0.0f);
    EXPECT_EQ(inst->baseColor[2], 0.0625f);
    EXPECT_EQ(RedrawnSince(before), "the whole preview");

    // A row beyond the list keeps the colour but still redraws.
    before = Snapshot();
    FireInt(CTL_SURFACE_LIST, 2);
    EXPECT_EQ(inst->baseColor[0], 0.5f) << "a row beyond the surface list changed the colour";
    EXPECT_EQ(RedrawnSince(before), "the whole preview");

    PickEntry(1); // value 2: "Blue" only
    ASSERT_EQ(Lcount, 1);
    EXPECT_STREQ(inst->surfNames[0], "Blue");
  });
}

TEST_F(ListPicks, AValueNoSurfaceCarriesAnyMoreGivesAnEmptySurfaceList) {
  WhileOpen([&] {
    scene.surfaces()[3].special = 4.0; // "Grey" leaves value 3 while the panel is open
    PickEntry(2);
    EXPECT_EQ(inst->curEntry, 2);
    EXPECT_EQ(Lcount, 0);
    EXPECT_EQ(inst->surfNames, nullptr);
    EXPECT_EQ(inst->surfColors, nullptr);
  });
}

TEST_F(ListPicks, WithoutMemoryForTheSurfaceListItStaysEmptyAndTheEntryIsStillSelected) {
  Give(0, {10}, 1);
  WhileOpen([&] {
    for (long failAt : {1L, 2L}) {
      {
        AllocationWatch watch(failAt);
        PickEntry(0);
      }
      EXPECT_EQ(Lcount, 0) << "allocation " << failAt << " failed";
      EXPECT_EQ(inst->surfNames, nullptr) << "allocation " << failAt << " failed";
      EXPECT_EQ(inst->surfColors, nullptr) << "allocation " << failAt << " failed";
      EXPECT_EQ(inst->curEntry, 0);
      EXPECT_EQ(inst->curLayer, Entry(0).head);
    }
  });
}

TEST_F(ListPicks, PickingALayerRowSelectsItsLayerAndSetsUpAndDown) {
  std::vector<Layer *> l = Give(0, {10, 11, 12}, 1);
  WhileOpen([&] {
    PickEntry(0);
    auto before = Snapshot();
    PickLayer(2);
    EXPECT_EQ(inst->curLayerNo, 2);
    EXPECT_EQ(inst->curLayer, l[2]);
    EXPECT_EQ(RedrawnSince(before), "the whole preview");
    EXPECT_EQ(Names(Live()), Names(LayerSelected({CTL_DEL_LAYER, CTL_UP})))
        << "on the last row \"down\" must be ghosted";
    PickLayer(1);
    EXPECT_EQ(inst->curLayer, l[1]);
    EXPECT_EQ(Names(Live()), Names(LayerSelected({CTL_DEL_LAYER, CTL_UP, CTL_DOWN})));

    PickLayer(3); // beyond the list
    EXPECT_EQ(inst->curLayerNo, -1);
    EXPECT_EQ(inst->curLayer, nullptr);
    // Without a selected layer the stack commands are ghosted with the layer
    // controls: only "Active" stays live.
    EXPECT_EQ(Names(Live()), Names({CTL_ACTIVE}));
    // Even a stale flag deletes nothing: "Del Layer" takes only the selected
    // layer, and "-1" would otherwise name the last one.
    inst->ctlOn[CTL_DEL_LAYER] = 1;
    Fire(CTL_DEL_LAYER);
    EXPECT_EQ(Tags(Entry(0)), (std::vector<int>{10, 11, 12}));
  });
}

// ---------------------------------------------------------------------------
// Control states

using ControlStates = PanelSession;

TEST_F(ControlStates, OneLayerGhostsDelLayerUpAndDown) {
  Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    EXPECT_EQ(Names(Live()), Names(LayerSelected({})));
  });
}

TEST_F(ControlStates, AnAmbientLightLayerGhostsTheBufferControlsWhichStillShowItsValues) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  Dress(l[0], 0, 1, {1, 2, 3}, 100.0, MODE_AMBIENT, 8, 1, 11, 40.0, 1);
  WhileOpen([&] {
    PickEntry(0);
    EXPECT_EQ(Names(Live()), Names(LayerSelected({CTL_DEL_LAYER, CTL_DOWN})));
    EXPECT_EQ(IntShown(CTL_IN_BUFFER), 8);
    EXPECT_EQ(IntShown(CTL_INVERT), 1);
    EXPECT_EQ(IntShown(CTL_ALPHA_BUFFER), 11);
    EXPECT_EQ(FloatShown(CTL_ALPHA_INTENSITY), 40.0);
    EXPECT_EQ(IntShown(CTL_ALPHA_INVERT), 1);
  });
}

TEST_F(ControlStates, DamagedStoredNumbersNeverReachAPopupOutsideItsItems) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  // Type 2, mode 42 and buffers 99 and -4, as only a damaged file holds them.
  Dress(l[0], 2, 1, {1, 2, 3}, 50.0, 42, 99, 1, -4, 40.0, 1);
  Dress(l[1], 1, 1, {1, 2, 3}, 50.0, MODE_ADD, 13, 0, 12, 40.0, 0);
  WhileOpen([&] {
    PickEntry(0);
    // A mode that is none of the ten reads no buffer: its controls are ghosted
    // like those of "AmbientLight", the first item its popup shows.
    EXPECT_EQ(Names(Live()), Names(LayerSelected({CTL_DEL_LAYER, CTL_DOWN})));
    EXPECT_EQ(IntShown(CTL_LAYER_TYPE), LAYER_SURFACE);
    EXPECT_EQ(IntShown(CTL_MODE), MODE_AMBIENT);
    EXPECT_EQ(IntShown(CTL_IN_BUFFER), BUF_NONE) << "the evaluation reads it as \"None\"";
    EXPECT_EQ(IntShown(CTL_ALPHA_BUFFER), BUF_NONE);
    EXPECT_EQ(IntShown(CTL_INVERT), 1);

    PickLayer(1);
    EXPECT_EQ(IntShown(CTL_LAYER_TYPE), LAYER_SHADOW);
    EXPECT_EQ(IntShown(CTL_MODE), MODE_ADD);
    EXPECT_EQ(IntShown(CTL_IN_BUFFER), BUF_NONE) << "13 is one past the last buffer";
    EXPECT_EQ(IntShown(CTL_ALPHA_BUFFER), 12) << "the last buffer, \"Depth\", is shown as it is";
    EXPECT_EQ(inst->ctlOn[CTL_IN_BUFFER], 1);
  });
  // Showing them changes nothing stored: the layer keeps its numbers until
  // the user picks an item.
  EXPECT_EQ(l[0]->type, 2);
  EXPECT_EQ(l[0]->mode, 42);
  EXPECT_EQ(l[0]->inBuffer, 99);
  EXPECT_EQ(l[0]->alphaBuffer, -4);
  EXPECT_EQ(l[1]->inBuffer, 13);
}

TEST_F(ControlStates, PasteIsGhostedUntilALayerIsCopiedAndThenLiveForEveryLaterSelection) {
  Give(0, {10, 11}, 1);
  Give(1, {20}, 1);
  WhileOpen([&] {
    PickEntry(0);
    EXPECT_EQ(inst->ctlOn[CTL_PASTE], 0);
    const size_t from = host.drawLog.size();
    Fire(CTL_COPY);
    EXPECT_EQ(inst->clip.valid, 1);
    EXPECT_EQ(inst->ctlOn[CTL_PASTE], 1);
    const std::vector<std::pair<int, int>> pasteShown = {{CTL_PASTE, HOST_DRAW_RENDER},
                                                         {CTL_PASTE, HOST_DRAW_REFRESH}};
    EXPECT_EQ(DrawsSince(from), pasteShown) << "Copy should draw Paste live and nothing else";
    PickLayer(1);
    EXPECT_EQ(inst->ctlOn[CTL_PASTE], 1);
    PickEntry(1);
    EXPECT_EQ(inst->ctlOn[CTL_PASTE], 1) << "Paste went ghosted on another entry";
    EXPECT_EQ(Names(Live()), Names(LayerSelected({CTL_PASTE})));
  });
}

TEST_F(ControlStates, ImportAndExportFollowTheEntrysSwitchAndExportItsStack) {
  Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    // States no handler leaves behind, set up directly: the stack commands
    // are live, yet the entry is off, or its stack is empty.
    Entry(0).on = 0;
    CtrlRedraw_L(inst);
    EXPECT_EQ(inst->ctlOn[CTL_ADD_LAYER], 1);
    EXPECT_EQ(inst->ctlOn[CTL_IMPORT], 0) << "Import is live on an entry that is off";
    EXPECT_EQ(inst->ctlOn[CTL_EXPORT], 0) << "Export is live on an entry that is off";
    Entry(0).on = 1;
    Layer *head = Entry(0).head;
    Entry(0).head = nullptr;
    CtrlRedraw_L(inst);
    Entry(0).head = head;
    EXPECT_EQ(inst->ctlOn[CTL_IMPORT], 1);
    EXPECT_EQ(inst->ctlOn[CTL_EXPORT], 0) << "Export is live on an empty stack";
  });
}

TEST_F(ControlStates, GhostedControlsDoNothing) {
  Give(0, {10, 11, 12}, 0); // off: every layer command and property is ghosted
  WhileOpen([&] {
    PickEntry(0);
    inst->clip.valid = 1;
    const auto before = Snapshot();
    for (int n : {CTL_COPY, CTL_PASTE, CTL_ADD_LAYER, CTL_DEL_LAYER, CTL_ALL_ON, CTL_ALL_OFF,
                  CTL_ALL_INVERT, CTL_ENABLED, CTL_UP, CTL_DOWN, CTL_COLOR, CTL_LAYER_TYPE,
                  CTL_MODE, CTL_IN_BUFFER, CTL_INVERT, CTL_ALPHA_BUFFER, CTL_ALPHA_INVERT})
      FireInt(n, 1);
    FireFloat(CTL_INTENSITY, 5.0);
    FireFloat(CTL_ALPHA_INTENSITY, 5.0);
    FireSwatch(1, 2, 3, 0);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[10 11 12]");
    for (const Layer *l = Entry(0).head; l != nullptr; l = l->next) {
      EXPECT_EQ(l->type, 0);
      EXPECT_EQ(l->active, 1);
      EXPECT_EQ(l->color[1], 255);
      EXPECT_EQ(l->intensity, 100.0);
      EXPECT_EQ(l->mode, 0);
      EXPECT_EQ(l->inBuffer, 0);
      EXPECT_EQ(l->alphaIntensity, 100.0);
    }
    EXPECT_EQ(inst->layerCount, 0);
    EXPECT_TRUE(services.pickerCalls.empty()) << "a ghosted \"Color\" opened the picker";
    EXPECT_EQ(RedrawnSince(before), "nothing");
  });
}

TEST_F(ControlStates, TheTwoOtherAllLayerButtonsFollowTheFlagOfStar) {
  Give(0, {10, 11}, 1);
  WhileOpen([&] {
    PickEntry(0);
    inst->ctlOn[CTL_ALL_ON] = 0; // "-" and "I" stay flagged live
    Fire(CTL_ALL_OFF);
    Fire(CTL_ALL_INVERT);
    EXPECT_EQ(Entry(0).head->active, 1) << "\"-\" or \"I\" acted while \"*\" was ghosted";
  });
}

// ---------------------------------------------------------------------------
// Layer commands

using LayerCommands = PanelSession;

TEST_F(LayerCommands, SwitchingOnAnEmptyEntryAddsOneDefaultLayerSelectedInRowZero) {
  WhileOpen([&] {
    PickEntry(1);
    const auto before = Snapshot();
    const size_t from = host.drawLog.size();
    FireInt(CTL_ACTIVE, 1);
    EXPECT_EQ(Entry(1).on, 1);
    ASSERT_EQ(GetLayerNum(&Entry(1)), 1);
    const Layer *l = Entry(1).head;
    EXPECT_EQ(l->type, 0);
    EXPECT_EQ(l->active, 1);
    EXPECT_EQ(l->color[0] + l->color[1] + l->color[2], 3 * 255);
    EXPECT_EQ(l->intensity, 100.0);
    EXPECT_EQ(l->alphaIntensity, 100.0);
    EXPECT_EQ(inst->layerCount, 1);
    EXPECT_EQ(inst->curLayerNo, 0);
    EXPECT_EQ(inst->curLayer, l);
    EXPECT_EQ(IntShown(CTL_LAYER_LIST), 0);
    EXPECT_EQ(Names(Live()), Names(LayerSelected({})));
    bool bufferListRefreshed = false;
    for (auto d : DrawsSince(from))
      bufferListRefreshed |= d == std::make_pair(int(CTL_BUFFER_LIST), int(HOST_DRAW_REFRESH));
    EXPECT_TRUE(bufferListRefreshed) << "the buffer list does not show the new \"*\"";
    EXPECT_EQ(RedrawnSince(before), "the result ball");

    // Off hides the layer without deleting it; on again shows the same one.
    FireInt(CTL_ACTIVE, 0);
    EXPECT_EQ(Entry(1).on, 0);
    EXPECT_EQ(inst->layerCount, 0);
    EXPECT_EQ(inst->curLayerNo, -1);
    EXPECT_EQ(inst->curLayer, nullptr);
    EXPECT_EQ(GetLayerNum(&Entry(1)), 1) << "switching off deleted the layer";
    EXPECT_EQ(Names(Live()), Names({CTL_ACTIVE}));
    FireInt(CTL_ACTIVE, 1);
    EXPECT_EQ(GetLayerNum(&Entry(1)), 1) << "switching on again added another layer";
    EXPECT_EQ(inst->curLayer, l);
    EXPECT_EQ(inst->curLayerNo, 0);
  });
}

TEST_F(LayerCommands, ActiveDoesNothingWithoutACurrentEntry) {
  WhileOpen([&] {
    FireInt(CTL_ACTIVE, 1);
    for (int row = 0; row < 3; ++row) {
      EXPECT_EQ(Entry(row).on, 0) << "entry " << row;
      EXPECT_EQ(Entry(row).head, nullptr) << "entry " << row;
    }
  });
}

TEST_F(LayerCommands, WithoutMemoryForTheFirstLayerAnEntryStaysOff) {
  WhileOpen([&] {
    PickEntry(1);
    {
      AllocationWatch watch(1);
      FireInt(CTL_ACTIVE, 1);
    }
    EXPECT_EQ(Entry(1).on, 0) << "an entry is on without a layer to show";
    EXPECT_EQ(Entry(1).head, nullptr);
    EXPECT_EQ(IntShown(CTL_ACTIVE), 0) << "the Active box shows a switch that did not happen";
    EXPECT_EQ(inst->curLayer, nullptr);
    EXPECT_EQ(inst->curLayerNo, -1);
    EXPECT_EQ(Names(Live()), Names({CTL_ACTIVE}));
    FireInt(CTL_ACTIVE, 1); // with memory again it works
    EXPECT_EQ(GetLayerNum(&Entry(1)), 1);
  });
}

TEST_F(LayerCommands, AddLayerPutsADefaultLayerOnTopAndSelectsIt) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(1);
    const auto before = Snapshot();
    Fire(CTL_ADD_LAYER);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[255 10 11]");
    EXPECT_EQ(inst->layerCount, 3);
    EXPECT_EQ(inst->curLayerNo, 0);
    EXPECT_EQ(inst->curLayer, Entry(0).head);
    EXPECT_EQ(IntShown(CTL_LAYER_LIST), 0);
    EXPECT_EQ(RedrawnSince(before), "the result ball");
    EXPECT_EQ(Names(Live()), Names(LayerSelected({CTL_DEL_LAYER, CTL_DOWN})));
  });
}

TEST_F(LayerCommands, WithoutMemoryAddLayerLeavesTheStackAndTheSelection) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(1);
    {
      AllocationWatch watch(1);
      Fire(CTL_ADD_LAYER);
    }
    EXPECT_EQ(TagText(Tags(Entry(0))), "[10 11]");
    EXPECT_EQ(inst->layerCount, 2);
    EXPECT_EQ(inst->curLayerNo, 1);
    EXPECT_EQ(inst->curLayer, l[1]);
  });
}

TEST_F(LayerCommands, UpAndDownMoveTheCurrentLayerAndItStaysCurrent) {
  std::vector<Layer *> l = Give(0, {10, 11, 12}, 1);
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(1);
    const auto before = Snapshot();
    Fire(CTL_UP);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[11 10 12]");
    EXPECT_EQ(inst->curLayerNo, 0);
    EXPECT_EQ(inst->curLayer, l[1]);
    EXPECT_EQ(IntShown(CTL_LAYER_LIST), 0);
    EXPECT_EQ(RedrawnSince(before), "the result ball");
    EXPECT_EQ(inst->ctlOn[CTL_UP], 0) << "\"up\" is live on the first row";
    EXPECT_EQ(Entry(0).head->next->prev, Entry(0).head) << "the back links are broken";

    Fire(CTL_DOWN);
    Fire(CTL_DOWN);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[10 12 11]");
    EXPECT_EQ(inst->curLayerNo, 2);
    EXPECT_EQ(inst->curLayer, l[1]);
    EXPECT_EQ(IntShown(CTL_LAYER_LIST), 2);
    EXPECT_EQ(inst->ctlOn[CTL_DOWN], 0) << "\"down\" is live on the last row";
    EXPECT_EQ(GetLayer(&Entry(0), -1)->prev->prev, Entry(0).head) << "the back links are broken";
  });
}

TEST_F(LayerCommands, DelLayerKeepsTheRowOrMovesUpFromTheLastOne) {
  std::vector<Layer *> l = Give(0, {10, 11, 12}, 1);
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(2);
    const auto before = Snapshot();
    Fire(CTL_DEL_LAYER);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[10 11]");
    EXPECT_EQ(inst->layerCount, 2);
    EXPECT_EQ(inst->curLayerNo, 1);
    EXPECT_EQ(inst->curLayer, l[1]);
    EXPECT_EQ(IntShown(CTL_LAYER_LIST), 1);
    EXPECT_EQ(RedrawnSince(before), "the result ball");

    PickLayer(0);
    Fire(CTL_DEL_LAYER);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[11]");
    EXPECT_EQ(inst->curLayerNo, 0);
    EXPECT_EQ(inst->curLayer, l[1]);
    EXPECT_EQ(inst->ctlOn[CTL_DEL_LAYER], 0) << "the last layer can be deleted";
    Fire(CTL_DEL_LAYER);
    EXPECT_EQ(TagText(Tags(Entry(0))), "[11]") << "the last layer was deleted";
  });
}

TEST_F(LayerCommands, PasteCopiesEverythingButTheTypeAndTheSwitch) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  Dress(l[0], 0, 1, {30, 60, 90}, 55.5, 4, 9, 1, 12, 33.25, 1);
  Dress(l[1], 1, 0, {1, 2, 3}, 100.0, 0, 0, 0, 0, 100.0, 0);
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_COPY);
    PickLayer(1);
    const auto before = Snapshot();
    Fire(CTL_PASTE);
    EXPECT_EQ(l[1]->type, 1) << "Paste changed the type";
    EXPECT_EQ(l[1]->active, 0) << "Paste switched the layer on";
    EXPECT_EQ((std::vector<int>{l[1]->color[0], l[1]->color[1], l[1]->color[2]}),
              (std::vector<int>{30, 60, 90}));
    EXPECT_EQ(l[1]->intensity, 55.5);
    EXPECT_EQ(l[1]->mode, 4);
    EXPECT_EQ(l[1]->inBuffer, 9);
    EXPECT_EQ(l[1]->invert, 1);
    EXPECT_EQ(l[1]->alphaBuffer, 12);
    EXPECT_EQ(l[1]->alphaIntensity, 33.25);
    EXPECT_EQ(l[1]->alphaInvert, 1);
    EXPECT_EQ(ColourShown(), (std::vector<int>{30, 60, 90}));
    EXPECT_EQ(FloatShown(CTL_INTENSITY), 55.5);
    EXPECT_EQ(IntShown(CTL_MODE), 4);
    EXPECT_EQ(IntShown(CTL_ENABLED), 0);
    EXPECT_EQ(RedrawnSince(before), "the result ball, then the whole preview");
  });
}

TEST_F(LayerCommands, CopyTakesWhatThePropertyControlsShowInTheirLowBits) {
  Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    Control(CTL_SWATCH).value.ivec = {HOST_VALUE_IVEC, {256 + 7, 511, -1}};
    Control(CTL_INTENSITY).value.flt = {HOST_VALUE_FLOAT, 42.0};
    Control(CTL_INVERT).value.intv = {HOST_VALUE_INT, 257};
    Control(CTL_ALPHA_INVERT).value.intv = {HOST_VALUE_INT, 256};
    Fire(CTL_COPY);
    EXPECT_EQ(inst->clip.color[0], 7);
    EXPECT_EQ(inst->clip.color[1], 255);
    EXPECT_EQ(inst->clip.color[2], 255);
    EXPECT_EQ(inst->clip.intensity, 42.0) << "Copy did not read the Intensity control";
    EXPECT_EQ(inst->clip.invert, 1);
    EXPECT_EQ(inst->clip.alphaInvert, 0);
  });
}

TEST_F(LayerCommands, TheClipboardOutlivesThePanel) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  l[0]->intensity = 12.5;
  l[0]->mode = 6;
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_COPY);
  });
  panel = nullptr;
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(1);
    EXPECT_EQ(inst->ctlOn[CTL_PASTE], 1) << "Paste is ghosted after reopening";
    Fire(CTL_PASTE);
    EXPECT_EQ(l[1]->intensity, 12.5);
    EXPECT_EQ(l[1]->mode, 6);
  });
}

TEST_F(LayerCommands, TheLayerSwitchTakesTheLowBitsOfTheBoxAndRefreshesTheRow) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  WhileOpen([&] {
    PickEntry(0);
    const size_t from = host.drawLog.size();
    const auto before = Snapshot();
    FireInt(CTL_ENABLED, 0);
    EXPECT_EQ(l[0]->active, 0);
    const std::vector<std::pair<int, int>> listRefreshed = {{CTL_LAYER_LIST, HOST_DRAW_REFRESH}};
    EXPECT_EQ(DrawsSince(from), listRefreshed);
    EXPECT_EQ(RedrawnSince(before), "the result ball");
    EXPECT_EQ(std::string(LayerNameFunc(inst, 0)).substr(0, 1), "-");
    FireInt(CTL_ENABLED, 257);
    EXPECT_EQ(l[0]->active, 1);
    EXPECT_EQ(l[1]->active, 1) << "the switch changed another layer";
  });
}

TEST_F(LayerCommands, StarDashAndISwitchAllLayersOnOffAndOver) {
  std::vector<Layer *> l = Give(0, {10, 11, 12}, 1);
  l[1]->active = 0;
  WhileOpen([&] {
    PickEntry(0);
    const auto before = Snapshot();
    Fire(CTL_ALL_INVERT);
    EXPECT_EQ((std::vector<int>{l[0]->active, l[1]->active, l[2]->active}),
              (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(IntShown(CTL_ENABLED), 0) << "the \"*/-\" box does not show the current layer";
    EXPECT_EQ(RedrawnSince(before), "the result ball");
    Fire(CTL_ALL_ON);
    EXPECT_EQ((std::vector<int>{l[0]->active, l[1]->active, l[2]->active}),
              (std::vector<int>{1, 1, 1}));
    Fire(CTL_ALL_OFF);
    EXPECT_EQ((std::vector<int>{l[0]->active, l[1]->active, l[2]->active}),
              (std::vector<int>{0, 0, 0}));
  });
}

// ---------------------------------------------------------------------------
// Layer property controls

using PropertyControls = PanelSession;

TEST_F(PropertyControls, EachControlWritesItsLayerFieldAndRedrawsTheResultBall) {
  std::vector<Layer *> l = Give(0, {10, 11}, 1);
  l[0]->mode = MODE_ADD; // the buffer controls are live
  WhileOpen([&] {
    PickEntry(0);
    auto before = Snapshot();
    FireFloat(CTL_INTENSITY, 50.0);
    EXPECT_EQ(l[0]->intensity, 50.0);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "after Intensity";
    before = Snapshot();
    FireInt(CTL_IN_BUFFER, 11);
    EXPECT_EQ(l[0]->inBuffer, 11);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "after Input Buffer";
    before = Snapshot();
    FireInt(CTL_INVERT, 1);
    EXPECT_EQ(l[0]->invert, 1);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "after Invert";
    before = Snapshot();
    FireInt(CTL_ALPHA_BUFFER, 12);
    EXPECT_EQ(l[0]->alphaBuffer, 12);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "after AlphaBuffer";
    before = Snapshot();
    FireFloat(CTL_ALPHA_INTENSITY, 37.5);
    EXPECT_EQ(l[0]->alphaIntensity, 37.5);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "after AlphaIntensity";
    before = Snapshot();
    FireInt(CTL_ALPHA_INVERT, 257);
    EXPECT_EQ(l[0]->alphaInvert, 1) << "AlphaInvert did not keep the low 8 bits";
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "after AlphaInvert";
    FireInt(CTL_INVERT, 256);
    EXPECT_EQ(l[0]->invert, 0) << "Invert did not keep the low 8 bits";
    // Only the selected layer changed.
    EXPECT_EQ(l[1]->intensity, 100.0);
    EXPECT_EQ(l[1]->inBuffer, 0);
  });
}

TEST_F(PropertyControls, LayerTypeRefreshesTheRowSymbolAndRedrawsTheWholePreview) {
  std::vector<Layer *> l = Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    const size_t from = host.drawLog.size();
    const auto before = Snapshot();
    FireInt(CTL_LAYER_TYPE, 1);
    EXPECT_EQ(l[0]->type, 1);
    const std::vector<std::pair<int, int>> listRefreshed = {{CTL_LAYER_LIST, HOST_DRAW_REFRESH}};
    EXPECT_EQ(DrawsSince(from), listRefreshed);
    EXPECT_EQ(RedrawnSince(before), "the whole preview");
    EXPECT_EQ(std::string(LayerNameFunc(inst, 0)), "* \x81\x9C AmbientLight");
  });
}

TEST_F(PropertyControls, AmbientLightGhostsTheFiveBufferControlsAndKeepsTheBufferSettings) {
  std::vector<Layer *> l = Give(0, {10}, 1);
  Dress(l[0], 0, 1, {1, 2, 3}, 100.0, MODE_MULTIPLY, 7, 1, 10, 25.0, 1);
  WhileOpen([&] {
    PickEntry(0);
    size_t from = host.drawLog.size();
    auto before = Snapshot();
    FireInt(CTL_MODE, MODE_AMBIENT);
    EXPECT_EQ(l[0]->mode, MODE_AMBIENT);
    const std::vector<std::pair<int, int>> ghosted = {
        {CTL_IN_BUFFER, HOST_DRAW_GHOST},    {CTL_INVERT, HOST_DRAW_GHOST},
        {CTL_ALPHA_BUFFER, HOST_DRAW_GHOST}, {CTL_ALPHA_INTENSITY, HOST_DRAW_GHOST},
        {CTL_ALPHA_INVERT, HOST_DRAW_GHOST}, {CTL_LAYER_LIST, HOST_DRAW_REFRESH}};
    EXPECT_EQ(DrawsSince(from), ghosted);
    for (int n : kBufferControls) EXPECT_EQ(inst->ctlOn[n], 0) << panel_session::kControlNames[n];
    EXPECT_EQ(RedrawnSince(before), "the result ball");
    EXPECT_EQ(l[0]->inBuffer, 7);
    EXPECT_EQ(l[0]->invert, 1);
    EXPECT_EQ(l[0]->alphaBuffer, 10);
    EXPECT_EQ(l[0]->alphaIntensity, 25.0);
    EXPECT_EQ(l[0]->alphaInvert, 1);
    EXPECT_EQ(std::string(LayerNameFunc(inst, 0)), "* \x81\x9B AmbientLight");

    // A ghosted buffer control does nothing although a layer is selected.
    FireInt(CTL_IN_BUFFER, 3);
    EXPECT_EQ(l[0]->inBuffer, 7) << "the ghosted Input Buffer changed the layer";

    from = host.drawLog.size();
    FireInt(CTL_MODE, MODE_SCREEN);
    const std::vector<std::pair<int, int>> live = {
        {CTL_IN_BUFFER, HOST_DRAW_RENDER},    {CTL_INVERT, HOST_DRAW_RENDER},
        {CTL_ALPHA_BUFFER, HOST_DRAW_RENDER}, {CTL_ALPHA_INTENSITY, HOST_DRAW_RENDER},
        {CTL_ALPHA_INVERT, HOST_DRAW_RENDER}, {CTL_LAYER_LIST, HOST_DRAW_REFRESH}};
    EXPECT_EQ(DrawsSince(from), live);
    for (int n : kBufferControls) EXPECT_EQ(inst->ctlOn[n], 1) << panel_session::kControlNames[n];
    FireInt(CTL_IN_BUFFER, 3);
    EXPECT_EQ(l[0]->inBuffer, 3);
  });
}

TEST_F(PropertyControls, WithNoLayerSelectedNothingChangesButThePreviewTypeStillWorks) {
  std::vector<Layer *> l = Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    PickLayer(5); // no layer row
    FireInt(CTL_LAYER_TYPE, 1);
    FireFloat(CTL_INTENSITY, 3.0);
    FireInt(CTL_MODE, 2);
    FireSwatch(4, 5, 6, 0);
    EXPECT_EQ(l[0]->type, 0);
    EXPECT_EQ(l[0]->intensity, 100.0);
    EXPECT_EQ(l[0]->mode, 0);
    EXPECT_EQ(l[0]->color[1], 255);

    const auto before = Snapshot();
    FireInt(CTL_PREVIEW_TYPE, 2);
    EXPECT_EQ(inst->previewType, 2);
    EXPECT_EQ(RedrawnSince(before), "the whole preview");
  });
}

TEST_F(PropertyControls, SidewaysSwatchDragsChangeTheColourWithoutRedrawing) {
  std::vector<Layer *> l = Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    const auto before = Snapshot();
    for (int x = 1; x <= 12; ++x) {
      FireSwatch(x, 300, 2 * x, x);
      EXPECT_EQ((std::vector<int>{l[0]->color[0], l[0]->color[1], l[0]->color[2]}),
                (std::vector<int>{x, 300 - 256, 2 * x}))
          << "event " << x;
    }
    EXPECT_EQ(RedrawnSince(before), "nothing");
    EXPECT_EQ(bmx, 12);
    EXPECT_EQ(mmc, 0);
  });
}

TEST_F(PropertyControls, TenStillSwatchEventsRedrawTheResultBallOnce) {
  Give(0, {10}, 1);
  WhileOpen([&] {
    PickEntry(0);
    FireSwatch(0, 0, 0, 40); // the pointer arrives: a sideways step
    for (int i = 1; i <= 9; ++i) {
      const auto before = Snapshot();
      FireSwatch(i, 0, 0, 40);
      EXPECT_EQ(RedrawnSince(before), "nothing") << "still event " << i;
    }
    auto before = Snapshot();
    FireSwatch(10, 0, 0, 40);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "still event 10";
    EXPECT_EQ(mmc, 0);

    // The count carries over sideways moves: five still, a move, five still.
    for (int i = 0; i < 5; ++i) FireSwatch(i, 0, 0, 40);
    FireSwatch(0, 0, 0, 41);
    for (int i = 1; i <= 4; ++i) FireSwatch(i, 0, 0, 41);
    before = Snapshot();
    FireSwatch(5, 0, 0, 41);
    EXPECT_EQ(RedrawnSince(before), "the result ball") << "the tenth still event after a move";
  });
}

// ---------------------------------------------------------------------------
// Colour picking

using ColourPicking = PanelSession;

TEST_F(ColourPicking, AnAcceptedLayerColourIsTruncatedToBytesAndShownInTheSwatch) {
  std::vector<Layer *> l = Give(0, {51}, 1);
  l[0]->color[1] = 102;
  l[0]->color[2] = 204;
  services.picker = {0, 1, true, 1.0f, 0.5f, 0.0f};
  WhileOpen([&] {
    PickEntry(0);
    const auto before = Snapshot();
    Fire(CTL_COLOR);
    ASSERT_EQ(services.pickerCalls.size(), 1u);
    const FakeServices::PickerCall &call = services.pickerCalls[0];
    EXPECT_EQ(call.version, 4);
    EXPECT_EQ(call.title, "Light Color");
    EXPECT_EQ(call.red, 51.0f / 255.0f);
    EXPECT_EQ(call.green, 102.0f / 255.0f);
    EXPECT_EQ(call.blue, 204.0f / 255.0f);
    EXPECT_EQ(call.data, inst);
    EXPECT_EQ(call.hotFunc, colorcb);
    // 0.5 x 255 = 127.5, truncated.
    EXPECT_EQ((std::vector<int>{l[0]->color[0], l[0]->color[1], l[0]->color[2]}),
              (std::vector<int>{255, 127, 0}));
    EXPECT_EQ(ColourShown(), (std::vector<int>{255, 127, 0}));
    EXPECT_EQ(RedrawnSince(before), "the result ball");
  });
}

TEST_F(ColourPicking, ACancelledPickLeavesEveryByteExactlyAsItWas) {
  std::vector<Layer *> l = Give(0, {0}, 1);
  services.picker = {0, 0, true, 0.9f, 0.9f, 0.9f}; // cancelled, though it wrote a colour
  WhileOpen([&] {
    PickEntry(0);
    for (int b = 0; b < 256; ++b) {
      l[0]->color[0] = static_cast<uint8_t>(b);
      l[0]->color[1] = static_cast<uint8_t>(255 - b);
      l[0]->color[2] = static_cast<uint8_t>((b * 7) & 0xFF);
      Fire(CTL_COLOR);
      EXPECT_EQ((std::vector<int>{l[0]->color[0], l[0]->color[1], l[0]->color[2]}),
                (std::vector<int>{b, 255 - b, (b * 7) & 0xFF}))
          << "byte " << b << " did not survive a cancelled pick";
    }
  });
}

TEST_F(ColourPicking, AnIncompleteCallOrAMissingPickerChangesNothingButStillRedraws) {
  std::vector<Layer *> l = Give(0, {51}, 1);
  services.picker = {1, 1, true, 0.0f, 0.0f, 0.0f}; // accepted, but the call did not complete
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_COLOR);
    EXPECT_EQ(l[0]->color[0], 51) << "an incomplete picker call changed the colour";

    services.offerPicker = false;
    Control(CTL_SWATCH).value.ivec = {HOST_VALUE_IVEC, {0, 0, 0}};
    const auto before = Snapshot();
    Fire(CTL_COLOR);
    EXPECT_EQ(l[0]->color[0], 51);
    EXPECT_EQ(ColourShown(), (std::vector<int>{51, 255, 255}))
        << "the swatch is not set without a picker";
    EXPECT_EQ(RedrawnSince(before), "the result ball");
  });
}

TEST_F(ColourPicking, APickedColourOutsideZeroToOneIsHeldToTheByteRange) {
  std::vector<Layer *> l = Give(0, {51}, 1);
  services.picker = {0, 1, true, 1.5f, -0.25f, std::numeric_limits<float>::quiet_NaN()};
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_COLOR);
    EXPECT_EQ((std::vector<int>{l[0]->color[0], l[0]->color[1], l[0]->color[2]}),
              (std::vector<int>{255, 0, 0}));
  });
}

TEST_F(ColourPicking, ThePreviewAreaPicksTheBaseColourWithoutASelection) {
  services.picker = {0, 1, true, 0.25f, 0.5f, 0.75f};
  WhileOpen([&] {
    const auto before = Snapshot();
    Fire(CTL_PREVIEW_AREA);
    ASSERT_EQ(services.pickerCalls.size(), 1u);
    EXPECT_EQ(services.pickerCalls[0].title, "Preview BaseColor");
    EXPECT_EQ(services.pickerCalls[0].red, 1.0f);
    EXPECT_EQ(inst->baseColor[0], 0.25f);
    EXPECT_EQ(inst->baseColor[1], 0.5f);
    EXPECT_EQ(inst->baseColor[2], 0.75f);
    EXPECT_EQ(RedrawnSince(before), "the whole preview");

    services.picker.result = 0;
    services.picker.red = 0.0f;
    const auto again = Snapshot();
    Fire(CTL_PREVIEW_AREA);
    EXPECT_EQ(inst->baseColor[0], 0.25f) << "a cancelled pick changed the base colour";
    EXPECT_EQ(RedrawnSince(again), "the whole preview");
  });
}

// ---------------------------------------------------------------------------
// Other instances

using OtherInstances = PanelSession;

TEST_F(OtherInstances, LeaveTheOpenPanelsRowsAndRequesterFolderAlone) {
  Give(2, {200}, 1);
  services.request.leavesPath = std::string("/scenes/sets");
  services.request.fullName = "/nonexistent-folder/set.QXD";
  WhileOpen([&] {
    PickEntry(0);
    Fire(CTL_IMPORT); // the requester leaves its folder behind
    ASSERT_STREQ(Fpath, "/scenes/sets");

    // A host making, loading, copying and destroying instances meanwhile: the
    // other one holds a single entry.
    HostInstance other = QXCreate(nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(checks::LoadLines(other, {"-3 1 1", "9.000000 1 ",
                                        "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"}),
              nullptr);
    HostInstance copy = QXCreate(nullptr, nullptr, nullptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(QXCopy(other, copy), nullptr);
    QXDestroy(copy);
    QXDestroy(other);

    const FakeControl &list = Control(CTL_BUFFER_LIST);
    EXPECT_EQ(list.desc.list.count(list.userData), 3);
    EXPECT_EQ(std::string(list.desc.list.name(list.userData, 2)), " *       3.00")
        << "the buffer list's last row went blank";
    PickEntry(2);
    EXPECT_EQ(inst->curEntry, 2) << "a pick of the last row selected nothing";
    EXPECT_EQ(TagText(Tags(*SelectedEntry(inst))), "[200]");
    EXPECT_STREQ(Fpath, "/scenes/sets") << "the requester forgot its folder";
    EXPECT_EQ(checks::SaveLoadRoundTrip(inst), "");
    EXPECT_STREQ(Fpath, "/scenes/sets") << "the round-trip check's instance reset the folder";
  });
  // With no panel open, a new instance starts the requester afresh.
  HostInstance later = QXCreate(nullptr, nullptr, nullptr);
  ASSERT_NE(later, nullptr);
  EXPECT_STREQ(Fpath, "");
  QXDestroy(later);
}

// A copy made while the panel is open takes none of the panel's controls, and
// once the panel has closed neither instance reaches them: the host has
// released them (under ASan any use would show).
TEST_F(OtherInstances, ACopyMadeWhileThePanelIsOpenNeverReachesItsControls) {
  Give(0, {10, 11}, 1);
  host.releaseOnDestroy = true;
  FilterInstance *copy = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  ASSERT_NE(copy, nullptr);
  WhileOpen([&] {
    PickEntry(0); // the layer commands and properties are live
    ASSERT_EQ(QXCopy(inst, copy), nullptr);
    EXPECT_EQ(copy->panelFuncs, nullptr);
    EXPECT_EQ(copy->panel, nullptr);
    for (int n = 0; n < CTL_COUNT; ++n) {
      EXPECT_EQ(copy->ctl[n], nullptr) << panel_session::kControlNames[n] << " of the copy";
      EXPECT_EQ(copy->ctlOn[n], 0) << panel_session::kControlNames[n] << " of the copy";
    }
    // The copy has the selection but no panel: its commands act on nothing
    // and draw nothing on the open panel.
    const Drawn before = Snapshot();
    But_AddLayer(nullptr, copy);
    Sli_int(nullptr, copy);
    Preview_Redraw(copy);
    EXPECT_EQ(RedrawnSince(before), "nothing");
    EXPECT_EQ(TagText(Tags(copy->entries[0])), "[10 11]");
    EXPECT_EQ(copy->curEntry, 0);
  });
  for (FilterInstance *used : {inst, copy}) {
    But_AddLayer(nullptr, used);
    But_DelLayer(nullptr, used);
    But_Enabled(nullptr, used);
    Sli_int(nullptr, used);
    But_Col(nullptr, used);
    Preview_Redraw(used);
    CtrlRedraw_G(used);
    CtrlRedraw_L(used);
    CtrlRedraw(used);
    EXPECT_EQ(TagText(Tags(used->entries[0])), "[10 11]") << "a command acted after the close";
  }
  QXDestroy(copy);
}

// The evaluation's prepared form follows every change, whatever the order of
// create, load, copy, options and evaluate: at each step the instance
// evaluates as a walk of its entries does, and as the change says.
TEST_F(OtherInstances, TheEvaluationFollowsEveryChangeInAnyOrder) {
  // What a pixel of value 1 comes out as, as text; "" while it is not written.
  const auto written = [](FilterInstance *of) {
    checks::ProbePixel pixel(1.0f);
    QXEvaluate(of, &pixel.access);
    const size_t at = pixel.log.find('w');
    return at == std::string::npos ? std::string() : pixel.log.substr(at);
  };
  const std::string untouched = written(inst);
  EXPECT_EQ(untouched, "") << "a fresh instance has every entry off";

  ASSERT_EQ(checks::LoadLines(
                inst, {"-3 1 1", "1.000000 1 ", "0 1 128 64 32 100.000000 1 0 0 0 100.000000 0"}),
            nullptr);
  EXPECT_EQ(checks::EvaluationAgreesWithTheWalk(inst), "") << "after the load";
  const std::string added = written(inst);
  EXPECT_NE(added, "") << "the loaded Add layer";

  FilterInstance *copy = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  ASSERT_NE(copy, nullptr);
  std::string multipliedWhileOpen;
  WhileOpen([&] {
    PickEntry(0);
    FireInt(CTL_MODE, MODE_MULTIPLY);
    EXPECT_EQ(checks::EvaluationAgreesWithTheWalk(inst), "") << "with the panel open";
    multipliedWhileOpen = written(inst);
    EXPECT_NE(multipliedWhileOpen, added) << "the open panel's edit did not reach the evaluation";
    ASSERT_EQ(QXCopy(inst, copy), nullptr);
    EXPECT_EQ(written(copy), multipliedWhileOpen) << "a copy made while the panel is open";
    FireInt(CTL_MODE, MODE_SCREEN);
    EXPECT_EQ(written(copy), multipliedWhileOpen) << "the copy followed the source's edit";
  });
  EXPECT_NE(inst->program, nullptr) << "prepared again when the panel closed";
  EXPECT_EQ(checks::EvaluationAgreesWithTheWalk(inst), "") << "after the panel closed";
  const std::string screened = written(inst);
  EXPECT_NE(screened, multipliedWhileOpen) << "the last edit before closing";
  EXPECT_EQ(checks::EvaluationAgreesWithTheWalk(copy), "");

  FilterInstance *fresh = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  ASSERT_NE(fresh, nullptr);
  ASSERT_EQ(QXCopy(fresh, copy), nullptr);
  EXPECT_EQ(written(copy), untouched) << "a copy over an instance takes its evaluation too";
  QXDestroy(fresh);
  QXDestroy(copy);
}

// ---------------------------------------------------------------------------
// Layer rows

using LayerRows = PanelSession;

TEST_F(LayerRows, RowsReadAfterAnyChangeShowTheStackAsItIsNow) {
  std::vector<Layer *> layers = Give(0, {1, 2, 3, 4, 5}, 1);
  for (size_t i = 0; i < layers.size(); ++i) layers[i]->mode = static_cast<int32_t>(i);
  // The rows as the stack holds them now, each from a walk of its own.
  auto expected = [&] {
    std::vector<std::string> rows;
    for (const Layer *l = Entry(0).head; l != nullptr; l = l->next)
      rows.push_back(std::string(1, l->active != 0 ? '*' : '-') + " \x81\x9B " +
                     popup1_data[l->mode]);
    return rows;
  };
  auto row = [&](int number) {
    const FakeControl &list = Control(CTL_LAYER_LIST);
    return std::string(list.desc.list.name(list.userData, number));
  };
  auto shown = [&] {
    const FakeControl &list = Control(CTL_LAYER_LIST);
    std::vector<std::string> rows;
    const int count = list.desc.list.count(list.userData);
    for (int number = 0; number < count; ++number) rows.push_back(row(number));
    return rows;
  };
  // Row 1 is read last before the change; after it, row 2 is read first, so
  // that a row remembered from before the change would be walked on from.
  auto afterChange = [&](const char *what, const std::function<void()> &change) {
    (void)row(1);
    change();
    EXPECT_EQ(row(2), expected()[2]) << "row 2 read first after " << what;
    EXPECT_EQ(shown(), expected()) << "after " << what;
  };
  WhileOpen([&] {
    PickEntry(0);
    EXPECT_EQ(shown(), expected()) << "as given";
    afterChange("\"down\" on row 1", [&] {
      PickLayer(1);
      FireInt(CTL_DOWN, 0);
    });
    afterChange("\"up\" on row 2", [&] { FireInt(CTL_UP, 0); });
    afterChange("\"Del Layer\" on row 1", [&] {
      PickLayer(1);
      FireInt(CTL_DEL_LAYER, 0);
    });
    afterChange("\"Add Layer\"", [&] { FireInt(CTL_ADD_LAYER, 0); });
    afterChange("another entry and back", [&] {
      Give(1, {7, 8, 9}, 1);
      PickEntry(1);
      (void)row(1);
      PickEntry(0);
    });
  });
}
