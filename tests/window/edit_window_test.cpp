// The panel in a real window (qxhost edit), under an X server of the test's
// own when DISPLAY is not set: scripts played through the widgets against
// the headless panel, the widgets against the control states, a pick in the
// render view, and the render view against qxhost render.
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Window.H>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/e2e_files.h"
#include "e2e/qxhost_run.h"
#include "frames/demo_scene.h"
#include "scene/cryptomatte.h"
#include "stand_in/stand_in_host.h"
#include "window/edit_session.h"
#include "window/live_render.h"
#include "window/panel_window.h"
#include "window/render_view.h"
#include "window/window_services.h"
#include "x_server.h"

namespace {

using namespace e2e;
using json = nlohmann::json;

// The headless display the panel opens on, and where the module centres the
// panel on it: (1920 - 384) / 2, (1080 - 348) / 2.
constexpr int kHeadlessX = 768, kHeadlessY = 366;

// A session in this process: the built module on `scene`, the panel in its
// window with the render view of `frame` when one is given, `script` played
// through the widgets when `scripted`. Returns the instance's saved lines
// at the close.
std::vector<std::string> editInProcess(const qx::Scene &scene, const std::string &script,
                                       bool scripted, qx::EditOptions options) {
  qx::openDisplay();
  qx::Host host(scene);
  host.loadModule(QX_MODULE_PATH);
  host.panels().setDisplay(qx::screenMetrics());
  const std::shared_ptr<const qx::PixelFilter> filter = host.makeFilter();
  qx::PixelFilterInstance instance = host.makeInstance(filter);
  qx::PanelSession session(host, qx::PanelScript::parse(script, "test.txt"),
                           [&instance] { return instance.save(); }, {});
  options.session = &session;
  options.scripted = scripted;
  options.scriptName = "test.txt";
  qx::EditSession edit(host, instance, filter, std::move(options));
  host.panels().setOpenHandler([&edit](qx::Panel &panel) { edit.run(panel); });
  const std::string error = host.makeInterface()->options(instance);
  host.panels().setOpenHandler(nullptr);
  host.panels().rethrowSessionError();
  EXPECT_EQ(error, "");
  EXPECT_TRUE(session.ran()) << "the panel never opened";
  return instance.save();
}

// Calls `step` from the event loop after the events already queued.
void later(std::function<void()> step) {
  auto *held = new std::function<void()>(std::move(step));
  Fl::add_timeout(
      0.0,
      [](void *data) {
        std::unique_ptr<std::function<void()>> call(static_cast<std::function<void()> *>(data));
        (*call)();
      },
      held);
}

const char *stateName(qx::ControlState state) { return qx::controlStateName(state); }

// ---------------------------------------------------------------------------
// Scripts: the window against the headless panel

TEST(EditWindow, TheExampleSessionEndsInTheSameSceneAndDumpAsHeadless) {
  QX_REQUIRE_X_SERVER();
  const std::string dir = freshDir("same");
  ASSERT_EQ(qxhost("demo --out-dir bare --bare", dir).status, 0);
  std::filesystem::copy_file(dir + "/bare/scene.json", dir + "/window.json");
  std::filesystem::copy_file(dir + "/bare/scene.json", dir + "/headless.json");
  const std::string script = std::string(QX_SOURCE_DIR) + "/examples/rebuild-demo.txt";

  const Outcome window = qxhost("edit --scene window.json --script '" + script +
                                    "' --save --dump window-dump.json --content-dir .",
                                dir);
  ASSERT_EQ(window.status, 0) << window.err;
  EXPECT_EQ(window.err.find("the window lets no event reach it"), std::string::npos)
      << "a step missed its widget:\n"
      << window.err;
  const Outcome headless = qxhost("panel --scene headless.json --script '" + script +
                                      "' --save --dump headless-dump.json --content-dir .",
                                  dir);
  ASSERT_EQ(headless.status, 0) << headless.err;

  EXPECT_EQ(readAll(dir + "/window.json"), readAll(dir + "/headless.json"))
      << "the saved scenes differ";
  json windowDump = readJson(dir + "/window-dump.json");
  const json headlessDump = readJson(dir + "/headless-dump.json");
  // The window centres the panel on its own screen, the headless one on 1920
  // by 1080; everything else must match.
  const xtest::XServer &x = xtest::XServer::get();
  EXPECT_EQ(windowDump["panel"]["x"], (x.width() - 384) / 2);
  EXPECT_EQ(windowDump["panel"]["y"], (x.height() - 348) / 2);
  windowDump["panel"]["x"] = kHeadlessX;
  windowDump["panel"]["y"] = kHeadlessY;
  EXPECT_EQ(windowDump, headlessDump);
}

// The screenshot is also the README's picture of the editor on the demo
// scene (docs/qxhost-edit.png, see README).
TEST(EditWindow, ThePreviewAreaOnScreenIsTheHeadlessCanvas) {
  QX_REQUIRE_X_SERVER();
  if (xtest::XServer::get().depth() < 24)
    GTEST_SKIP() << "the X screen has " << xtest::XServer::get().depth()
                 << "-bit colour; exact pixels need 24";
  const std::string dir = freshDir("preview");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  writeFile(dir + "/session.txt", "select \"BufferList\" 1\n"
                                  "select \"Surface with select Specialbuffer\" 0\n");
  const std::string shots = std::string(QX_BINARY_DIR) + "/screenshots";
  std::filesystem::create_directories(shots);
  const Outcome window =
      qxhost("edit --scene demo/scene.json --frame demo/frame.exr --script session.txt "
             "--screenshot '" +
                 shots + "/qxhost-edit.png'",
             dir);
  ASSERT_EQ(window.status, 0) << window.err;
  const Outcome headless =
      qxhost("panel --scene demo/scene.json --script session.txt --canvas canvas.png", dir);
  ASSERT_EQ(headless.status, 0) << headless.err;

  const Picture screen = readPng(shots + "/qxhost-edit.png");
  const Picture canvas = readPng(dir + "/canvas.png");
  ASSERT_EQ(screen.width, 500u);
  ASSERT_EQ(screen.height, 348u);
  // The area's drawing region: 96 by 80 at (7, 210).
  std::set<std::array<int, 3>> colours;
  for (int y = 210; y < 290; ++y) {
    for (int x = 7; x < 103; ++x) {
      ASSERT_EQ(screen.at(x, y), canvas.at(x, y)) << "preview pixel " << x << ", " << y;
      colours.insert(canvas.at(x, y));
    }
  }
  EXPECT_GT(colours.size(), 100u) << "the balls are missing from the preview";
  const Picture view = readPng(shots + "/qxhost-edit-view.png");
  EXPECT_GT(view.width, 0u) << "no picture of the render view";
}

// ---------------------------------------------------------------------------
// The widgets against the control model

// Two values: 1.0 (off, no stack) and 2.0 (on: a "Surface" layer in
// "AmbientLight" that is on, a "Shadow" layer in "Multiply" that is off).
const char kTwoEntryScene[] = R"({
  "surfaces": [
    {"name": "Skin", "SpecialBuffer1": 1.0, "BaseColor": [1.0, 0.8, 0.7]},
    {"name": "Cloth", "SpecialBuffer1": 2.0, "BaseColor": [0.2, 0.3, 0.9]}
  ],
  "filter": {"state": ["-3 1 2", "2.000000 2 ",
                       "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                       "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0"]}
})";

TEST(EditWindow, GhostedErasedAndLiveWidgetsFollowTheControlStates) {
  QX_REQUIRE_X_SERVER();
  // Every widget against its control: erased is hidden, ghosted shown but
  // disabled, live (or never drawn) shown and enabled.
  auto compareAll = [](qx::PanelWindow &window, const char *when) {
    qx::Panel &panel = window.panel();
    for (int i = 0; i < static_cast<int>(panel.controlCount()); ++i) {
      const qx::ControlState state = panel.control(static_cast<std::size_t>(i)).state();
      const qx::WidgetState widget = window.widgetState(i);
      const bool visible = state != qx::ControlState::Erased;
      EXPECT_EQ(widget.visible, visible) << when << ": control " << i << " is " << stateName(state);
      if (!visible) continue; // a hidden widget takes no event, enabled or not
      EXPECT_EQ(widget.active, state != qx::ControlState::Ghosted)
          << when << ": control " << i << " is " << stateName(state);
    }
  };
  bool opened = false, played = false;
  qx::EditOptions options;
  options.opened = [&](qx::EditWindows &windows) {
    opened = true;
    compareAll(windows.panel, "at the open");
    // By hand: "Active" erased, the layer commands and properties ghosted.
    EXPECT_FALSE(windows.panel.widgetState(2).visible) << "\"Active\" shows before a pick";
    for (int i : {5, 6, 14, 15, 19, 20})
      EXPECT_FALSE(windows.panel.widgetState(i).active) << "control " << i << " is enabled";
    EXPECT_TRUE(windows.panel.widgetState(0).active) << "the buffer list is disabled";
  };
  options.played = [&](qx::EditWindows &windows) {
    played = true;
    compareAll(windows.panel, "after the script");
    // Entry 2.0 is on with two layers, the first selected, in AmbientLight,
    // and nothing copied yet.
    const std::vector<std::pair<int, bool>> expected = {
        {2, true},   {5, true},   {6, true},  {3, true},   {4, false},  {14, false},
        {15, true},  {19, true},  {20, true}, {21, false}, {22, false}, {23, false},
        {24, false}, {25, false}, {7, true},  {8, true}};
    for (const auto &[index, active] : expected) {
      EXPECT_EQ(windows.panel.widgetState(index).active, active)
          << "control " << index << " \"" << windows.panel.panel().control(index).label()
          << "\" should be " << (active ? "live" : "ghosted");
    }
    // The layer rows as the widget shows them, symbols and all.
    EXPECT_EQ(windows.panel.widgetRows(12),
              (std::vector<std::string>{"* \u25CB AmbientLight", "- \u25CF Multiply"}));
    EXPECT_EQ(windows.panel.widgetSelectedRow(12), 0);
    EXPECT_EQ(windows.panel.widgetRows(1), std::vector<std::string>{"Cloth"});
  };
  editInProcess(qx::Scene::parse(kTwoEntryScene, "scene.json"), "select \"BufferList\" 1\n", true,
                std::move(options));
  EXPECT_TRUE(opened);
  EXPECT_TRUE(played);
}

// ---------------------------------------------------------------------------
// The render view

TEST(EditWindow, AClickInTheRenderViewPicksThatPixelsEntry) {
  QX_REQUIRE_X_SERVER();
  const qx::DemoScene demo = qx::makeDemoScene(240, 135);
  // A pixel of the blue ball, special-buffer value 4.0: the demo's fourth
  // distinct value, so row 3 of the buffer list.
  int px = -1, py = -1;
  for (int y = 0; y < demo.frame.height() && px < 0; ++y) {
    for (int x = 0; x < demo.frame.width(); ++x) {
      if (demo.frame.value(0, x, y) == 4.0f) {
        px = x;
        py = y;
        break;
      }
    }
  }
  ASSERT_GE(px, 0) << "the demo frame shows no blue ball";
  std::vector<std::string> blueSurfaces;
  for (const qx::SceneSurface &surface : demo.scene.surfaces) {
    if (surface.specialBuffer == 4.0) blueSurfaces.push_back(surface.name);
  }

  bool checked = false;
  qx::EditOptions options;
  options.frame = &demo.frame;
  options.filterInput = demo.frame;
  options.frameName = "demo";
  options.opened = [&](qx::EditWindows &opened) {
    ASSERT_NE(opened.view, nullptr);
    qx::EditWindows *windows = &opened; // lives until the panel's window closes
    later([&checked, windows, px, py, blueSurfaces] {
      int wx = 0, wy = 0;
      ASSERT_TRUE(windows->view->pointOf(px, py, wx, wy));
      qx::sendMouseEvent(windows->view->window(), FL_PUSH, wx, wy);
      later([&checked, windows, wx, wy, blueSurfaces] {
        qx::sendMouseEvent(windows->view->window(), FL_RELEASE, wx, wy);
        later([&checked, windows, blueSurfaces] {
          checked = true;
          const qx::PanelControl &list = windows->panel.panel().control(0);
          EXPECT_EQ(list.value().intv.value, 3) << "the buffer list's value";
          EXPECT_EQ(windows->panel.widgetSelectedRow(0), 3) << "the row the list shows";
          EXPECT_EQ(windows->panel.widgetRows(1), blueSurfaces)
              << "the module did not list the picked entry's surfaces";
          windows->panel.window().hide();
        });
      });
    });
  };
  editInProcess(demo.scene, "", false, std::move(options));
  EXPECT_TRUE(checked) << "the window closed before the pick was checked";
}

// Under --cryptomatte a click picks the id that covers the pixel most,
// whatever its rank, and names its object from the manifest.
TEST(EditWindow, AClickOnAnObjectIdPicksTheIdOfMostCoverageAndNamesIt) {
  QX_REQUIRE_X_SERVER();
  qx::DemoScene demo = qx::makeDemoScene(240, 135);
  const std::uint32_t bunny = qx::cryptomatteHash("bunny"), sky = qx::cryptomatteHash("sky");
  demo.scene.surfaces.push_back({"Bunny", static_cast<double>(qx::cryptomatteFloat(bunny))});
  std::vector<double> distinct;
  for (const qx::SceneSurface &surface : demo.scene.surfaces) {
    if (surface.specialBuffer &&
        std::find(distinct.begin(), distinct.end(), *surface.specialBuffer) == distinct.end())
      distinct.push_back(*surface.specialBuffer);
  }
  const int bunnyRow = static_cast<int>(distinct.size()) - 1;
  const int px = 120, py = 60;
  const std::size_t pixels = demo.frame.pixelCount(), at = py * 240 + px;
  // Rank 0 holds the sky at 30 %, rank 1 the bunny at 70 %.
  std::vector<std::vector<float>> ranks(4, std::vector<float>(pixels, 0.0f));
  ranks[0][at] = qx::cryptomatteFloat(sky);
  ranks[1][at] = 0.3f;
  ranks[2][at] = qx::cryptomatteFloat(bunny);
  ranks[3][at] = 0.7f;
  qx::CryptomatteLayer layer;
  layer.name = "CryptoObject";
  layer.rankChannels = {"CryptoObject00.R", "CryptoObject00.G", "CryptoObject00.B",
                        "CryptoObject00.A"};
  layer.manifest = {{"bunny", bunny}, {"sky", sky}};

  bool checked = false;
  qx::EditOptions options;
  options.frame = &demo.frame;
  options.filterInput = demo.frame;
  options.frameName = "demo";
  options.layer = layer;
  options.ranks = ranks;
  options.opened = [&](qx::EditWindows &opened) {
    ASSERT_NE(opened.view, nullptr);
    qx::EditWindows *windows = &opened;
    later([&checked, windows, px, py, bunnyRow] {
      int wx = 0, wy = 0;
      ASSERT_TRUE(windows->view->pointOf(px, py, wx, wy));
      qx::sendMouseEvent(windows->view->window(), FL_PUSH, wx, wy);
      later([&checked, windows, wx, wy, bunnyRow] {
        qx::sendMouseEvent(windows->view->window(), FL_RELEASE, wx, wy);
        later([&checked, windows, bunnyRow] {
          checked = true;
          EXPECT_EQ(windows->panel.panel().control(0).value().intv.value, bunnyRow);
          EXPECT_NE(windows->view->status().find("\"bunny\" (70%), entry " +
                                                 std::to_string(bunnyRow + 1)),
                    std::string::npos)
              << windows->view->status();
          windows->panel.window().hide();
        });
      });
    });
  };
  editInProcess(demo.scene, "", false, std::move(options));
  EXPECT_TRUE(checked) << "the window closed before the pick was checked";
}

// After an edit the view filters again only the pixels of the values whose
// stacks changed, and must still equal a full render of the new lines,
// float for float, edit after edit.
TEST(LiveRenders, AnEditFiltersOnlyItsValuesPixelsAndEqualsAFullRender) {
  const qx::DemoScene demo = qx::makeDemoScene(240, 135);
  qx::Host host(demo.scene);
  host.loadModule(QX_MODULE_PATH);
  const std::shared_ptr<const qx::PixelFilter> filter = host.makeFilter();
  std::vector<std::string> state = *demo.scene.filterState;
  ASSERT_EQ(state[4], "2.000000 2 ");
  ASSERT_EQ(state[7], "3.000000 2 ");
  std::size_t twos = 0, threes = 0;
  for (std::size_t i = 0; i < demo.frame.pixelCount(); ++i) {
    const float value = demo.frame.value(0, static_cast<int>(i % 240), static_cast<int>(i / 240));
    twos += value == 2.0f ? 1 : 0;
    threes += value == 3.0f ? 1 : 0;
  }
  qx::LiveRender view(filter, demo.frame, 2);
  ASSERT_TRUE(view.request(state));
  view.wait();
  ASSERT_TRUE(view.hasShown());
  EXPECT_EQ(view.shownPixels(), demo.frame.pixelCount());

  const auto fullRender = [&](const std::vector<std::string> &lines) {
    qx::LiveRender full(filter, demo.frame, 2);
    full.request(lines);
    full.wait();
    return full.shown();
  };
  struct Edit {
    std::size_t line;
    std::string text;
    std::size_t pixels; // the pixels of the values it touches
  };
  const std::vector<Edit> edits = {
      {8, "0 1 15 220 255 100.000000 5 11 1 0 100.000000 0", threes}, // a colour of value 3's
      {5, "0 0 170 60 255 100.000000 7 11 1 0 100.000000 0", twos},   // a layer of value 2 off
      {9, "0 1 255 200 80 100.000000 8 7 0 0 100.000000 0", threes},  // another mode
  };
  for (const Edit &edit : edits) {
    state[edit.line] = edit.text;
    ASSERT_TRUE(view.request(state));
    view.wait();
    EXPECT_EQ(view.shownPixels(), edit.pixels) << "line " << edit.line;
    const qx::Frame expected = fullRender(state);
    for (int c = 32; c < 36; ++c) {
      ASSERT_EQ(std::memcmp(view.shown().plane(c), expected.plane(c),
                            demo.frame.pixelCount() * sizeof(float)),
                0)
          << "buffer " << c << " after the edit of line " << edit.line;
    }
  }
}

TEST(EditWindow, TheRenderViewAfterEditsIsRenderOfTheSavedSceneFloatForFloat) {
  QX_REQUIRE_X_SERVER();
  const std::string dir = freshDir("view");
  const qx::DemoScene demo = qx::makeDemoScene(320, 180);
  demo.frame.writeExr(dir + "/frame.exr");
  // Edits in a row, each changing the state, so renders start over.
  const std::string script = "select \"BufferList\" 3\n"
                             "set \"Mode\" 6\n"
                             "set \"Intensity\" 40\n"
                             "click \"Add Layer\"\n"
                             "set \"Mode\" 1\n"
                             "set 18 255 40 0\n";
  qx::Frame viewed;
  qx::EditOptions options;
  options.frame = &demo.frame;
  options.filterInput = demo.frame;
  options.frameName = "frame.exr";
  options.threads = 2;
  options.played = [&](qx::EditWindows &windows) {
    ASSERT_NE(windows.view, nullptr);
    ASSERT_TRUE(windows.view->render().hasShown());
    viewed = windows.view->render().shown();
  };
  qx::Scene edited = demo.scene;
  edited.filterState = editInProcess(demo.scene, script, true, std::move(options));
  ASSERT_NE(edited.filterState, demo.scene.filterState) << "the script changed nothing";
  edited.save(dir + "/edited.json");
  demo.scene.save(dir + "/demo.json");

  const Outcome render =
      qxhost("render --scene edited.json --frame frame.exr --out edited/ --threads 1", dir);
  ASSERT_EQ(render.status, 0) << render.err;
  ASSERT_EQ(qxhost("render --scene demo.json --frame frame.exr --out demo/", dir).status, 0);
  const qx::Frame rendered = qx::Frame::readPlanes(dir + "/edited/");
  const qx::Frame unedited = qx::Frame::readPlanes(dir + "/demo/");
  ASSERT_EQ(viewed.width(), rendered.width());
  ASSERT_EQ(viewed.height(), rendered.height());
  int changed = 0;
  for (int b = 32; b < 36; ++b) {
    ASSERT_TRUE(viewed.has(b) && rendered.has(b)) << "buffer " << b;
    for (std::size_t i = 0; i < viewed.pixelCount(); ++i) {
      const float a = viewed.plane(b)[i], r = rendered.plane(b)[i];
      ASSERT_EQ(std::memcmp(&a, &r, sizeof a), 0)
          << "buffer " << b << ", pixel " << i << ": the view holds " << a << ", render wrote "
          << r;
      changed += r != unedited.plane(b)[i] ? 1 : 0;
    }
  }
  EXPECT_GT(changed, 1000) << "the edits left the render as the demo's";
}

} // namespace
