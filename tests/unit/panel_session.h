// An open options panel for handler tests: a small scene, the host's panel
// and single-function services, and helpers that fire events the way the
// host does (set the control's value, then call the handler it was given),
// read back which controls are live, and tell which part of the preview was
// redrawn.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "common/control_names.h"
#include "fake_panel.h"
#include "fake_services.h"
#include "fake_surfaces.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "preview.h"

namespace panel_session {

using checks::kControlNames;

inline std::string Names(const std::set<int> &controls) {
  std::string out = "{";
  for (int n : controls) {
    if (out.size() > 1) out += ", ";
    out += kControlNames[n];
  }
  return out + "}";
}

// Pixels of one preview ball: those whose mask byte is exactly 255.
inline long BallPixels() {
  long n = 0;
  for (int p = 0; p < PREVIEW_PIXELS; ++p) n += alp_pix[p] == 255;
  return n;
}

// The red bytes of a stack from the top: the tests tag layers by them.
inline std::vector<int> Tags(const SBEntry &entry) {
  std::vector<int> tags;
  for (const Layer *l = entry.head; l != nullptr && tags.size() < 100000; l = l->next)
    tags.push_back(l->color[0]);
  return tags;
}

inline std::string TagText(const std::vector<int> &tags) {
  std::string out;
  for (int t : tags) out += (out.empty() ? "" : " ") + std::to_string(t);
  return "[" + out + "]";
}

} // namespace panel_session

class PanelSession : public ::testing::Test {
protected:
  // Values 1, 2, 1, 3: the entries are 1, 2 and 3 in rows 0 to 2, and value 1
  // is carried by two surfaces.
  FakeSurfaces scene{{{"Red", 1.0, {0.75, 0.125, 0.25}},
                      {"Blue", 2.0, {0.0, 0.25, 1.0}},
                      {"Crimson", 1.0, {0.5, 0.0, 0.0625}},
                      {"Grey", 3.0, {0.5, 0.5, 0.5}}}};
  FakeServices services;
  FakePanelHost host;
  FilterInstance *inst = nullptr;
  FakePanel *panel = nullptr;

  void SetUp() override {
    inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(inst->entryCount, 3);
    // The swatch counters are module-wide; each test starts them afresh.
    bmx = mmx = mmc = 0;
  }
  void TearDown() override { QXDestroy(inst); }

  SBEntry &Entry(int row) { return inst->entries[row]; }

  // Gives entry `row` a stack tagged by the red bytes `tags`, top first, and
  // sets its switch. Returns the layers, top first.
  std::vector<Layer *> Give(int row, std::initializer_list<int> tags, int16_t on) {
    std::vector<int> t(tags);
    std::vector<Layer *> layers(t.size());
    for (size_t i = t.size(); i-- > 0;) {
      Layer *layer = AddLayer(&Entry(row), 0);
      EXPECT_NE(layer, nullptr);
      if (layer == nullptr) return {};
      layer->color[0] = static_cast<uint8_t>(t[i]);
      layers[i] = layer;
    }
    Entry(row).on = on;
    return layers;
  }

  // Opens the panel and runs `body` while it is open.
  void WhileOpen(const std::function<void()> &body) {
    host.onOpen = [&](FakePanel &p) {
      panel = &p;
      body();
    };
    const char *error = QXOptions(inst);
    ASSERT_EQ(error, nullptr) << "the options reported \"" << error << "\"";
    ASSERT_NE(panel, nullptr) << "the panel never opened";
  }

  FakeControl &Control(int number) { return panel->control(number); }

  void Fire(int number) {
    FakeControl &c = Control(number);
    ASSERT_NE(c.handler, nullptr) << panel_session::kControlNames[number] << " has no handler";
    c.handler(&c.handle, c.userData);
  }
  // The user picks a row or a popup item, or sets a check box.
  void FireInt(int number, intptr_t value) {
    Control(number).value.intv.type = HOST_VALUE_INT;
    Control(number).value.intv.value = value;
    Fire(number);
  }
  void FireFloat(int number, double value) {
    Control(number).value.flt.type = HOST_VALUE_FLOAT;
    Control(number).value.flt.value = value;
    Fire(number);
  }
  // The user drags the colour swatch; the pointer is at x over it.
  void FireSwatch(int red, int green, int blue, int x) {
    FakeControl &c = Control(CTL_SWATCH);
    c.value.ivec.type = HOST_VALUE_IVEC;
    c.value.ivec.value[0] = red;
    c.value.ivec.value[1] = green;
    c.value.ivec.value[2] = blue;
    c.mouseX = x;
    Fire(CTL_SWATCH);
  }
  void PickEntry(int row) { FireInt(CTL_BUFFER_LIST, row); }
  void PickLayer(int row) { FireInt(CTL_LAYER_LIST, row); }

  intptr_t IntShown(int number) { return Control(number).value.intv.value; }
  double FloatShown(int number) { return Control(number).value.flt.value; }
  std::vector<int> ColourShown() {
    const HostIVecValue &v = Control(CTL_SWATCH).value.ivec;
    return {v.value[0], v.value[1], v.value[2]};
  }

  // Controls 2 to 25 (but the layer list) whose handlers act, checking that
  // each is drawn as its flag says: rendered when live, ghosted otherwise.
  std::set<int> Live() {
    std::set<int> live;
    for (int n = CTL_ACTIVE; n <= CTL_ALPHA_INVERT; ++n) {
      if (n == CTL_LAYER_LIST) continue;
      const bool on = inst->ctlOn[n] == 1;
      int drawn = -1;
      for (int mode : Control(n).draws) {
        if (mode != HOST_DRAW_REFRESH) drawn = mode;
      }
      EXPECT_EQ(drawn, on ? HOST_DRAW_RENDER : HOST_DRAW_GHOST)
          << panel_session::kControlNames[n] << " has the flag " << (on ? "live" : "ghosted")
          << " but was last drawn in mode " << drawn;
      if (on) live.insert(n);
    }
    return live;
  }

  // What was drawn of the preview since a snapshot.
  struct Drawn {
    long boxes, pixels;
  };
  Drawn Snapshot() const { return {panel->boxCalls, panel->pixelCalls}; }
  std::string RedrawnSince(const Drawn &before) const {
    const long boxes = panel->boxCalls - before.boxes;
    const long pixels = panel->pixelCalls - before.pixels;
    const long ball = panel_session::BallPixels();
    if (boxes == 0 && pixels == 0) return "nothing";
    if (boxes == 0 && pixels == ball) return "the result ball";
    if (boxes == 1 && pixels == 2 * ball) return "the whole preview";
    if (boxes == 1 && pixels == 3 * ball) return "the result ball, then the whole preview";
    return std::to_string(boxes) + " backgrounds and " + std::to_string(pixels) + " pixels";
  }

  // The draws made since position `from` of the host's log.
  std::vector<std::pair<int, int>> DrawsSince(size_t from) const {
    return {host.drawLog.begin() + static_cast<long>(from), host.drawLog.end()};
  }
};
