// Editing sessions through qxhost panel, as a user scripts them: the demo's
// stacks built from nothing, the preview following each edit on the canvas,
// and layer sets moved through files.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frames/frame.h"

#include "e2e_files.h"
#include "qxhost_run.h"

namespace {

using namespace e2e;
using json = nlohmann::json;

// The two balls of the preview: the base ball's 64-pixel square at (7, 210),
// the result ball's at (39, 226), clipped to the preview area's 96 by 80
// region. The base ball is compared only where the result ball does not
// cover it.
struct Region {
  int x0, y0, x1, y1; // x1 and y1 are past the end
};
const Region kBaseBall = {7, 210, 39, 274};
const Region kResultBall = {39, 226, 103, 290};

// How many pixels of `region` differ between two canvases.
int Differing(const Picture &a, const Picture &b, const Region &region) {
  int count = 0;
  for (int y = region.y0; y < region.y1; ++y) {
    for (int x = region.x0; x < region.x1; ++x) count += a.at(x, y) != b.at(x, y) ? 1 : 0;
  }
  return count;
}

// ---------------------------------------------------------------------------
// The demo, built from nothing

TEST(EditingSession, TheExampleSessionRebuildsTheDemoStacksAndItsRender) {
  const std::string dir = freshDir("rebuild");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  const Outcome bare = qxhost("demo --out-dir bare --bare", dir);
  ASSERT_EQ(bare.status, 0) << bare.err;
  const json before = readJson(dir + "/bare/scene.json");
  EXPECT_FALSE(before.contains("filter")) << "a bare demo scene holds layer stacks";
  EXPECT_EQ(before["surfaces"], readJson(dir + "/demo/scene.json")["surfaces"]);

  const std::string script = std::string(QX_SOURCE_DIR) + "/examples/rebuild-demo.txt";
  const Outcome session = qxhost("panel --scene bare/scene.json --script '" + script +
                                     "' --save --content-dir . --dump session.json",
                                 dir);
  ASSERT_EQ(session.status, 0) << session.err;

  // Every stack, layer by layer, as the demo stores it.
  EXPECT_EQ(readJson(dir + "/bare/scene.json")["filter"]["state"],
            readJson(dir + "/demo/scene.json")["filter"]["state"]);
  // The lamp's glow went through a layer set on the way.
  EXPECT_EQ(readAll(dir + "/lamp-glow.QXD"), "Quintessalux_LayerSet_Ver.1.9\n"
                                             "-3 1\n"
                                             "0 1 255 110 30 100.000000 1 11 1 0 100.000000 0\n");
  EXPECT_EQ(readJson(dir + "/session.json")["messages"], json::array());

  // And so the frame comes out the same, float for float.
  ASSERT_EQ(
      qxhost("render --scene demo/scene.json --frame demo/frame.exr --out demo.exr", dir).status,
      0);
  ASSERT_EQ(
      qxhost("render --scene bare/scene.json --frame demo/frame.exr --out rebuilt.exr", dir).status,
      0);
  // The files differ in the scene they name (qxhost:scene), not in a pixel.
  const qx::Frame rendered = qx::Frame::readExr(dir + "/demo.exr");
  const qx::Frame rebuilt = qx::Frame::readExr(dir + "/rebuilt.exr");
  ASSERT_EQ(rendered.pixelCount(), rebuilt.pixelCount());
  std::size_t differ = 0;
  for (int c = 32; c < 36; ++c) {
    for (std::size_t i = 0; i < rendered.pixelCount(); ++i) {
      differ += rendered.plane(c)[i] != rebuilt.plane(c)[i];
    }
  }
  EXPECT_EQ(differ, 0u) << "colour values in which the rebuilt scene renders otherwise";
}

TEST(EditingSession, TheExampleSessionRunsWithoutAnyOneServiceAndWithoutSurfaces) {
  const std::string dir = freshDir("withdrawn");
  ASSERT_EQ(qxhost("demo --out-dir bare --bare", dir).status, 0);
  const std::string script = std::string(QX_SOURCE_DIR) + "/examples/rebuild-demo.txt";
  const std::vector<std::string> missing[] = {
      {"Surface Functions 2"}, {"Surface Functions"}, {"Surface Functions 2", "Surface Functions"},
      {"Color Picker"},        {"File Request"},      {"Directory Info"},
      {"Info Messages 2"}};
  for (const std::vector<std::string> &services : missing) {
    std::string without;
    for (const std::string &s : services) without += " --without '" + s + "'";
    SCOPED_TRACE(without);
    std::filesystem::remove(dir + "/lamp-glow.QXD");
    const Outcome run = qxhost("panel --scene bare/scene.json --script '" + script +
                                   "' --content-dir . --dump out.json" + without,
                               dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const json dump = readJson(dir + "/out.json");
    const std::size_t entries = dump["controls"][0]["rows"].size();
    const bool exported = std::filesystem::exists(dir + "/lamp-glow.QXD");
    if (services.size() == 2) {
      // No surface service at all: no entries, so nothing to edit.
      EXPECT_EQ(entries, 0u);
      EXPECT_EQ(dump["state"], json::array({"-3 0 0"}));
      continue;
    }
    EXPECT_EQ(entries, 6u) << "either surface service lists the scene's values";
    // A layer set needs all three file services; without one, export and
    // import do nothing and the lamp keeps only its lift.
    const bool files = services[0] == "File Request" || services[0] == "Directory Info" ||
                       services[0] == "Info Messages 2";
    EXPECT_EQ(exported, !files);
    EXPECT_EQ(dump["state"][0], files ? "-3 6 11" : "-3 6 12");
  }
}

// ---------------------------------------------------------------------------
// The preview follows the edits

TEST(EditingSession, ThePreviewChangesWhereAnEditShowsAndStaysElsewhere) {
  const std::string dir = freshDir("preview");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  // The red ball's entry, whose first layer is a "Hue" layer at 100 %.
  writeFile(dir + "/edit.txt", R"(select "BufferList" 1
canvas 0-picked.png
set "Intensity" 50
canvas 1-intensity.png
click "Copy"
canvas 2-copy.png
pointer 18 10
set 18 0 0 255
pointer 18 11
set 18 0 255 0
pointer 18 12
set 18 255 0 0
canvas 3-dragged.png
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
set 18 255 0 0
canvas 4-held-nine.png
set 18 255 0 0
canvas 5-held-ten.png
set 27 2
canvas 6-shadow-preview.png
)");
  const Outcome run = qxhost("panel --scene demo/scene.json --script edit.txt", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<Picture> c;
  for (const char *name : {"0-picked", "1-intensity", "2-copy", "3-dragged", "4-held-nine",
                           "5-held-ten", "6-shadow-preview"}) {
    c.push_back(readPng(dir + "/" + name + ".png"));
    ASSERT_EQ(c.back().width, 500u) << name;
  }

  // A property redraws the result ball only.
  EXPECT_GT(Differing(c[0], c[1], kResultBall), 100) << "the intensity did not reach the preview";
  EXPECT_EQ(Differing(c[0], c[1], kBaseBall), 0) << "the intensity changed the base ball";
  // Copy changes no layer: the preview stays.
  EXPECT_EQ(Differing(c[1], c[2], kResultBall), 0);
  // The swatch changes the colour at every event, but the preview waits:
  // nothing while the pointer moves sideways, nothing for nine events that
  // hold still, and a redraw with the tenth.
  EXPECT_EQ(Differing(c[2], c[3], kResultBall), 0) << "a sideways drag redrew the preview";
  EXPECT_EQ(Differing(c[3], c[4], kResultBall), 0) << "nine still events redrew the preview";
  EXPECT_GT(Differing(c[4], c[5], kResultBall), 100) << "the tenth still event did not redraw";
  EXPECT_EQ(Differing(c[4], c[5], kBaseBall), 0);
  // The preview type changes both balls.
  EXPECT_GT(Differing(c[5], c[6], kBaseBall), 100) << "the shadow preview kept the base ball";
}

// ---------------------------------------------------------------------------
// Layer sets through files

// One entry, 2.0, switched on with one default layer.
const char kOneEntry[] = R"({
  "surfaces": [{"name": "Cloth", "SpecialBuffer1": 2.0}],
  "filter": {"state": ["-3 1 1", "2.000000 1 ",
                       "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"]}
})";
const char kDefaultLine[] = "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0";

TEST(EditingSession, ImportTakesWhatTheFileHoldsAndRefusesWhatItCannotRead) {
  const std::string dir = freshDir("layersets");
  writeFile(dir + "/scene.json", kOneEntry);
  // A foreign header word, CR/LF line ends and two layers split over lines.
  writeFile(dir + "/crlf.QXD", "SomeOtherTool_Set\r\n-3 2\r\n1 0 10 20 30 50.5 3\r\n"
                               "7 1 11 25 1\r\n0 1 1 2 3 100 9 0 0 0 100 0\r\n");
  writeFile(dir + "/old.QXD", "Quintessalux_LayerSet_Ver.1.9\n-2 1\n0 1 1 2 3 100 9 0 0 0 100 0\n");
  writeFile(dir + "/absurd.QXD", "Quintessalux_LayerSet_Ver.1.9\n-3 2147483647\n");
  writeFile(dir + "/session.txt", R"(select "BufferList" 0
file cancel
click "Import"
file "missing.QXD"
click "Import"
file "old.QXD"
click "Import"
file "absurd.QXD"
click "Import"
dump refused.json
file "crlf.QXD"
click "Import"
)");
  const Outcome run = qxhost("panel --scene scene.json --script session.txt --content-dir . "
                             "--dump out.json --save",
                             dir);
  ASSERT_EQ(run.status, 0) << run.err;

  const json refused = readJson(dir + "/refused.json");
  EXPECT_EQ(refused["messages"], json::parse(R"([{"kind": "info", "text": "File open error!"},
    {"kind": "info", "text": "File version error!"},
    {"kind": "info", "text": "File version error!"}])"))
      << "a cancel shows nothing; a missing file, another version and a damaged count do";
  EXPECT_EQ(refused["state"], json::array({"-3 1 1", "2.000000 1 ", kDefaultLine}))
      << "a refused file changed the stack";

  // The file's layers on top, in file order, then the layer that was there.
  EXPECT_EQ(readJson(dir + "/scene.json")["filter"]["state"],
            json::array({"-3 1 3", "2.000000 3 ", "1 0 10 20 30 50.500000 3 7 1 11 25.000000 1",
                         "0 1 1 2 3 100.000000 9 0 0 0 100.000000 0", kDefaultLine}));
  const json list = readJson(dir + "/out.json")["controls"][12];
  EXPECT_EQ(list["rows"], json::array({"- ● Multiply", "* ○ Value", "* ○ AmbientLight"}));
}

TEST(EditingSession, WithoutAFileServiceExportAndImportDoNothing) {
  for (const char *service : {"File Request", "Directory Info", "Info Messages 2"}) {
    const std::string dir = freshDir("noservice");
    writeFile(dir + "/scene.json", kOneEntry);
    writeFile(dir + "/in.QXD",
              "Quintessalux_LayerSet_Ver.1.9\n-3 1\n0 1 1 2 3 100 9 0 0 0 100 0\n");
    writeFile(dir + "/session.txt",
              "select 0 0\nfile out.QXD\nclick \"Export\"\nfile in.QXD\nclick \"Import\"\n");
    const Outcome run = qxhost("panel --scene scene.json --script session.txt --content-dir . "
                               "--dump out.json --save --without '" +
                                   std::string(service) + "'",
                               dir);
    ASSERT_EQ(run.status, 0) << service << ": " << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.QXD")) << "exported without " << service;
    EXPECT_EQ(readJson(dir + "/scene.json")["filter"]["state"],
              json::array({"-3 1 1", "2.000000 1 ", kDefaultLine}))
        << "imported without " << service;
    EXPECT_EQ(readJson(dir + "/out.json")["requests"], json::array())
        << "the requester was asked without " << service;
  }
}

} // namespace
