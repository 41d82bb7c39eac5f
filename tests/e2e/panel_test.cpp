// qxhost panel, run as a user runs it: the options panel of the built module
// opened headless on a scene, with scripted sessions, dumps and pictures.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_files.h"
#include "qxhost_run.h"

namespace {

using namespace e2e;

using json = nlohmann::json;

// Two values: 1.0 on Skin, 2.0 on Cloth and Lining. The stored state switches
// entry 2.0 on with two layers (the example of the scene-state format).
const char kScene[] = R"({
  "surfaces": [
    {"name": "Skin", "SpecialBuffer1": 1.0, "BaseColor": [1.0, 0.8, 0.7]},
    {"name": "Cloth", "SpecialBuffer1": 2.0, "BaseColor": [0.2, 0.3, 0.9]},
    {"name": "Lining", "SpecialBuffer1": 2.0, "BaseColor": [0.9, 0.1, 0.1]}
  ],
  "filter": {"state": ["-3 1 2", "2.000000 2 ",
                       "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                       "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0"]}
}
)";

const std::vector<std::string> kStoredState = {"-3 1 2", "2.000000 2 ",
                                               "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                                               "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0"};

std::string sceneIn(const std::string &dir, const std::string &text = kScene) {
  const std::string path = dir + "/scene.json";
  writeFile(path, text);
  return path;
}

// The panel's controls as the module lays them out: number, label, kind and
// position.
struct Placed {
  const char *label;
  const char *kind;
  int x, y;
};
const Placed kLayout[28] = {
    {"BufferList", "ListBoxControl", 5, 30},
    {"Surface with select Specialbuffer", "ListBoxControl", 224, 216},
    {"Active", "BoolControl", 5, 2},
    {"Copy", "ButtonControl", 364, 2},
    {"Paste", "ButtonControl", 424, 2},
    {"Add Layer", "ButtonControl", 116, 2},
    {"Del Layer", "ButtonControl", 188, 2},
    {"Export", "ButtonControl", 116, 216},
    {"Import", "ButtonControl", 116, 244},
    {"*", "ButtonControl", 116, 30},
    {"-", "ButtonControl", 135, 30},
    {"I", "ButtonControl", 154, 30},
    {"LayerList", "ListBoxControl", 116, 49},
    {"*/-", "BoolControl", 174, 30},
    {"up", "ButtonControl", 116, 185},
    {"down", "ButtonControl", 155, 185},
    {"LayerType", "PopupControl", 224, 32},
    {"Color", "ButtonControl", 224, 60},
    {"", "MiniRGBControl", 256, 60},
    {"Intensity", "PercentControl", 224, 88},
    {"Mode", "PopupControl", 360, 88},
    {"Input Buffer", "PopupControl", 224, 116},
    {"Invert", "BoolControl", 408, 116},
    {"AlphaBuffer", "PopupControl", 224, 144},
    {"AlphaIntensity", "PercentControl", 224, 172},
    {"AlphaInvert", "BoolControl", 408, 144},
    {"", "AreaControl", 5, 208},
    {"", "PopupControl", 0, 292},
};

TEST(PanelCommand, OpensTheTitledPanelWithItsTwentyEightControlsInPlace) {
  const std::string dir = freshDir("layout");
  const Outcome run = qxhost("panel --scene '" + sceneIn(dir) + "' --dump out.json", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json dump = readJson(dir + "/out.json");

  EXPECT_EQ(dump["panel"]["title"], "Quintessalux ver. 1.9");
  EXPECT_EQ(dump["panel"]["requestedWidth"], 384);
  EXPECT_EQ(dump["panel"]["requestedHeight"], 348);
  // Centred on 1920 by 1080 by the size set: (1920 - 384) / 2, (1080 - 348) / 2.
  EXPECT_EQ(dump["panel"]["x"], 768);
  EXPECT_EQ(dump["panel"]["y"], 366);
  // "Paste" ends at x 424 + 56 = 480; 20 pixels of margin make 500, wide
  // enough for the divider that ends at x 496.
  EXPECT_EQ(dump["panel"]["width"], 500);
  EXPECT_EQ(dump["panel"]["height"], 348);

  const json &controls = dump["controls"];
  ASSERT_EQ(controls.size(), 28u);
  for (int i = 0; i < 28; ++i) {
    const json &c = controls[static_cast<std::size_t>(i)];
    EXPECT_EQ(c["index"], i);
    EXPECT_EQ(c["label"], kLayout[i].label) << "control " << i;
    EXPECT_EQ(c["kind"], kLayout[i].kind) << "control " << i << " \"" << kLayout[i].label << "\"";
    EXPECT_EQ(c["x"], kLayout[i].x) << "control " << i << " \"" << kLayout[i].label << "\"";
    EXPECT_EQ(c["y"], kLayout[i].y) << "control " << i << " \"" << kLayout[i].label << "\"";
  }
  EXPECT_EQ(controls[26]["origin"], json::array({7, 210}))
      << "the preview area draws 2 pixels inside its frame";
  EXPECT_EQ(controls[20]["items"].size(), 10u) << "\"Mode\" lists the ten blend modes";
  EXPECT_EQ(controls[20]["items"][9], "Value");
  EXPECT_EQ(controls[27]["items"], json::array({"Ball", "Cel-Look Ball", "Shadow"}));
}

TEST(PanelCommand, OpensWithActiveErasedTheCommandsGhostedAndTheEntriesListed) {
  const std::string dir = freshDir("states");
  const Outcome run = qxhost("panel --scene '" + sceneIn(dir) + "' --dump out.json", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json dump = readJson(dir + "/out.json");
  const json &controls = dump["controls"];
  ASSERT_EQ(controls.size(), 28u);

  const std::set<int> ghosted = {3,  4,  5,  6,  7,  8,  9,  10, 11, 13, 14,
                                 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25};
  ASSERT_EQ(ghosted.size(), 22u);
  for (int i = 0; i < 28; ++i) {
    const json &c = controls[static_cast<std::size_t>(i)];
    const char *expected = i == 2 ? "erased" : ghosted.count(i) ? "ghosted" : "normal";
    EXPECT_EQ(c["state"], expected) << "control " << i << " \"" << kLayout[i].label << "\"";
  }

  // " " + mark + seven spaces + the value with two decimals; 2.0 is stored on.
  EXPECT_EQ(controls[0]["rows"], json::array({" -       1.00", " *       2.00"}));
  EXPECT_EQ(controls[1]["rows"], json::array()) << "no entry picked, no surfaces listed";
  EXPECT_EQ(controls[12]["rows"], json::array()) << "no entry picked, no layers listed";
  EXPECT_EQ(controls[0]["value"], -1) << "no buffer row is picked at first";
  EXPECT_EQ(controls[27]["value"], 0) << "the preview type starts as \"Ball\"";
  EXPECT_EQ(dump["state"], kStoredState) << "the instance's state, restored from the scene";
  EXPECT_EQ(dump["messages"], json::array());
}

TEST(PanelCommand, AScriptedPickIsSeenInTheDumpsTakenDuringAndAfterTheSession) {
  const std::string dir = freshDir("select");
  writeFile(dir + "/session.txt", "# pick the second entry\n"
                                  "select 0 1\n"
                                  "dump during.json\n"
                                  "select \"BufferList\" 0\n");
  const Outcome run =
      qxhost("panel --scene '" + sceneIn(dir) + "' --script session.txt --dump after.json", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json during = readJson(dir + "/during.json");
  const json after = readJson(dir + "/after.json");
  EXPECT_EQ(during["controls"][0]["value"], 1) << "row 1 was picked before the first dump";
  EXPECT_EQ(after["controls"][0]["value"], 0) << "row 0 was picked last";
  EXPECT_EQ(during["panel"]["title"], "Quintessalux ver. 1.9");
}

TEST(PanelCommand, ReadsTheScriptFromStandardInput) {
  const std::string dir = freshDir("stdin");
  const Outcome run = qxhost("panel --scene '" + sceneIn(dir) + "' --script - --dump out.json", dir,
                             "select 0 1\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readJson(dir + "/out.json")["controls"][0]["value"], 1);
}

TEST(PanelCommand, DrawsTheDividersAndThePreviewBallsOnTheCanvas) {
  const std::string dir = freshDir("canvas");
  const Outcome run = qxhost("panel --scene '" + sceneIn(dir) + "' --canvas out.png", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const Picture picture = readPng(dir + "/out.png");
  ASSERT_EQ(picture.width, 500u);
  ASSERT_EQ(picture.height, 348u);

  // The module's two border lines, drawn in the border shade 96.
  const std::array<int, 3> border = {96, 96, 96};
  for (int y = 0; y < 212; ++y) {
    ASSERT_EQ(picture.at(108, y), border) << "vertical divider at x 108, y " << y;
  }
  for (int x = 108; x < 496; ++x) {
    ASSERT_EQ(picture.at(x, 212), border) << "horizontal divider at y 212, x " << x;
  }
  EXPECT_NE(picture.at(496, 212), border) << "the divider is 388 pixels long";
  EXPECT_NE(picture.at(107, 100), border) << "the vertical divider is one pixel wide";

  // The preview area's drawing region is 96 by 80 at (7, 210), black behind
  // the balls; its bottom left corner is outside both balls.
  const std::array<int, 3> black = {0, 0, 0};
  EXPECT_EQ(picture.at(8, 288), black);
  EXPECT_EQ(picture.at(101, 211), black);

  // The base ball at (7, 210) and the result ball at (39, 226): with no entry
  // picked the result ball is the base ball moved by (32, 16). Compare every
  // base ball pixel that the result ball does not cover.
  int compared = 0;
  for (int r = 0; r < 64; ++r) {
    for (int c = 0; c < 64; ++c) {
      if (c >= 32 && r >= 16) continue; // under the result ball
      const std::array<int, 3> base = picture.at(7 + c, 210 + r);
      if (base == black) continue;
      ++compared;
      ASSERT_EQ(picture.at(39 + c, 226 + r), base) << "ball pixel row " << r << ", column " << c;
      // A white base colour keeps the ball grey.
      ASSERT_TRUE(base[0] == base[1] && base[1] == base[2])
          << "ball pixel row " << r << ", column " << c << " is not grey";
    }
  }
  EXPECT_GT(compared, 1000) << "too few ball pixels: the balls are missing";
  const std::array<int, 3> resultOnly = picture.at(39 + 52, 226 + 32);
  EXPECT_NE(resultOnly, black) << "the result ball right of the base ball";
}

TEST(PanelCommand, APickedPreviewColourReachesTheModuleAndItsBalls) {
  const std::string dir = freshDir("picker");
  writeFile(dir + "/pick.txt", "picker accept 1 0 0\nclick 26\n");
  const Outcome run = qxhost("panel --scene '" + sceneIn(dir) +
                                 "' --script pick.txt --dump out.json --canvas out.png",
                             dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json requests = readJson(dir + "/out.json")["requests"];
  ASSERT_EQ(requests.size(), 1u) << "the click on the preview asked the picker once";
  EXPECT_EQ(requests[0]["title"], "Preview BaseColor");
  EXPECT_EQ(requests[0]["shown"], json::array({1.0, 1.0, 1.0})) << "the white it starts from";
  EXPECT_EQ(requests[0]["answer"], "accept");

  // Pure red keeps the balls' hue: no green or blue but the highlight's,
  // which lightens all three channels alike.
  const Picture picture = readPng(dir + "/out.png");
  ASSERT_EQ(picture.width, 500u);
  int red = 0;
  for (int r = 0; r < 64; ++r) {
    for (int c = 0; c < 32; ++c) {
      const std::array<int, 3> p = picture.at(7 + c, 210 + r);
      ASSERT_EQ(p[1], p[2]) << "base ball row " << r << ", column " << c;
      ASSERT_GE(p[0], p[1]) << "base ball row " << r << ", column " << c;
      if (p[0] > 0 && p[1] == 0) ++red;
    }
  }
  EXPECT_GT(red, 500) << "too few pure red pixels in the base ball";
}

TEST(PanelCommand, ExportWritesTheEntrysLayersWhereTheRequesterChose) {
  const std::string dir = freshDir("export");
  std::filesystem::create_directories(dir + "/content");
  writeFile(dir + "/export.txt", "select 0 1\nfile sets.QXD\nclick \"Export\"\n");
  const Outcome run =
      qxhost("panel --scene '" + sceneIn(dir) +
                 "' --script export.txt --dump out.json --content-dir '" + dir + "/content'",
             dir);
  ASSERT_EQ(run.status, 0) << run.err;
  // The first request starts in the content directory; the relative answer
  // is taken from there.
  EXPECT_EQ(readAll(dir + "/content/sets.QXD"),
            "Quintessalux_LayerSet_Ver.1.9\n"
            "-3 2\n"
            "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0\n"
            "1 0 255 255 255 100.000000 3 10 0 0 100.000000 0\n");
  const json requests = readJson(dir + "/out.json")["requests"];
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["title"], "Export LayerSet");
  EXPECT_EQ(requests[0]["baseName"], ">*.QXD");
  EXPECT_EQ(requests[0]["path"], dir + "/content");
  EXPECT_EQ(requests[0]["file"], dir + "/content/sets.QXD");
}

TEST(PanelCommand, WithoutPanelServicesTheModulesTextIsTheError) {
  const std::string dir = freshDir("nopanels");
  const std::string scene = sceneIn(dir);
  const Outcome run =
      qxhost("panel --scene '" + scene + "' --without LWPanelServices --dump out.json --save", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: Could not access Panels global!\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.json"));
  EXPECT_EQ(readAll(scene), kScene) << "the scene was saved after a failed open";
}

TEST(PanelCommand, ABadScriptLineChangesNothing) {
  const std::string dir = freshDir("badline");
  const std::string scene = sceneIn(dir);
  // Line 3 parses but names no control: nothing runs, not even line 1.
  writeFile(dir + "/unbound.txt", "select 0 1\ndump during.json\nclick \"Ad Layer\"\n");
  Outcome run =
      qxhost("panel --scene '" + scene + "' --script unbound.txt --dump out.json --save", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: unbound.txt: line 3: unknown control \"Ad Layer\"\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/during.json")) << "line 2 ran";
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.json"));
  EXPECT_EQ(readAll(scene), kScene) << "the scene file changed";

  // Line 2 does not parse: the panel never opens.
  run = qxhost("panel --scene '" + scene + "' --script - --save", dir, "select 0 1\nselct 0 0\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: stdin: line 2: unknown command \"selct\"\n");
  EXPECT_EQ(readAll(scene), kScene) << "the scene file changed";
}

TEST(PanelCommand, SaveWritesTheInstancesStateIntoTheScene) {
  const std::string dir = freshDir("save");
  // The stored lines are read by value, not by spelling: the module writes
  // them back in its own format.
  const std::string scene = sceneIn(dir, R"({
  "surfaces": [{"name": "Cloth", "SpecialBuffer1": 2.0}],
  "filter": {"state": ["-3 1 1", "2 1", "0 1 10 20 30 50 3 7 1 2 25 0"]}
})");
  const Outcome run = qxhost("panel --scene '" + scene + "' --save", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json saved = readJson(scene);
  EXPECT_EQ(saved["filter"]["state"],
            json::array({"-3 1 1", "2.000000 1 ", "0 1 10 20 30 50.000000 3 7 1 2 25.000000 0"}));
  EXPECT_EQ(saved["surfaces"][0]["name"], "Cloth") << "the surfaces were lost";

  // A scene without state gets the state of an instance with nothing on.
  const std::string bare =
      sceneIn(dir, R"({"surfaces": [{"name": "Cloth", "SpecialBuffer1": 2.0}]})");
  ASSERT_EQ(qxhost("panel --scene '" + bare + "' --save", dir).status, 0);
  EXPECT_EQ(readJson(bare)["filter"]["state"], json::array({"-3 0 0"}));
}

// The instance outlives its panel: a layer copied in one opening pastes in
// the next, and reopening over other surfaces rebuilds the entries around
// the stacks the instance holds.
TEST(PanelCommand, ReopeningKeepsTheInstanceAndAReopenedSceneRebuildsTheEntries) {
  const std::string dir = freshDir("reopen");
  writeFile(dir + "/felt.json", R"({"surfaces": [{"name": "Felt", "SpecialBuffer1": 3.0},
                                                  {"name": "Cloth", "SpecialBuffer1": 2.0}]})");
  writeFile(dir + "/session.txt", "select \"BufferList\" 1\n"
                                  "select \"LayerList\" 0\n"
                                  "click \"Copy\"\n"
                                  "reopen\n"
                                  "select \"BufferList\" 1\n"
                                  "select \"LayerList\" 1\n"
                                  "click \"Paste\"\n"
                                  "reopen felt.json\n");
  const Outcome run =
      qxhost("panel --scene '" + sceneIn(dir) + "' --script session.txt --dump out.json", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json dump = readJson(dir + "/out.json");
  // The paste gives the second layer the first one's colour, mode and
  // buffers; it keeps its own type and switch.
  EXPECT_EQ(dump["state"],
            json::array({"-3 1 2", "2.000000 2 ", "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0",
                         "1 0 255 255 255 100.000000 0 0 0 0 100.000000 0"}));
  EXPECT_EQ(dump["controls"][0]["rows"], json::array({" -       3.00", " *       2.00"}))
      << "the last opening lists Felt's new value first and keeps 2.0's stack";

  // A scene a reopen names is read before anything runs.
  const Outcome missing = qxhost("panel --scene scene.json --script - --dump late.json", dir,
                                 "select 0 1\nreopen nothere.json\n");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "qxhost: nothere.json: no such scene file\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/late.json"));
}

// What a faulty host or damaged data may hand the module, which the checked
// commands refuse: values outside a control's range, a picker that fails, a
// requester that comes and goes, no preview area.
TEST(PanelCommand, AFaultyHostsValuesAndServicesReachTheModuleOnlyWhenForced) {
  const std::string dir = freshDir("faulty");
  const std::string scene = sceneIn(dir);
  const Outcome refused = qxhost("panel --scene scene.json --script -", dir, "set \"Mode\" 12\n");
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "qxhost: stdin: line 1: control 20 \"Mode\" (PopupControl) takes an item "
                         "index from 0 to 9\n");

  writeFile(dir + "/session.txt", "select \"BufferList\" 1\n"
                                  "select \"LayerList\" 0\n"
                                  "force set \"Mode\" 12\n"
                                  "force set \"Intensity\" nan\n"
                                  "picker fail\n"
                                  "click \"Color\"\n"
                                  "without \"File Request\"\n"
                                  "click \"Export\"\n"
                                  "with \"File Request\"\n"
                                  "click \"Export\"\n"
                                  "redraw\n");
  const Outcome run = qxhost("panel --scene scene.json --script session.txt --dump out.json "
                             "--refuse-control AreaControl",
                             dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const json dump = readJson(dir + "/out.json");
  EXPECT_EQ(dump["state"][2], "0 1 255 255 255 nan 12 0 0 0 100.000000 0")
      << "the forced mode and intensity are stored; the failed pick left the colour white";
  ASSERT_EQ(dump["requests"].size(), 1u) << "only the Export after `with` reached a requester";
  EXPECT_EQ(dump["requests"][0]["title"], "Export LayerSet");
  ASSERT_EQ(dump["controls"].size(), 27u) << "the preview area was made";
  EXPECT_EQ(dump["controls"][26]["kind"], "PopupControl") << "the preview type moves up";
}

} // namespace
