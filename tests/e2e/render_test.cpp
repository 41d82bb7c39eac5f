// qxhost render, demo, flags and state, run as a user runs them, on frames
// and scenes made here.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frames/frame.h"

#include "e2e_files.h"
#include "qxhost_run.h"

namespace {

using namespace e2e;

int occurrences(const std::string &text, const std::string &part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// The small test frame, 4x3. Special-buffer values by row:
//   1 1 2 0
//   1 2 2 0
//   1 1 0 2
// Entry 1.0 holds, from the top, an "Add" layer of colour (51, 0, 102), that
// is (0.2, 0.0, 0.4), and below it a "Multiply" layer of colour (255, 51, 0),
// (1.0, 0.2, 0.0), on the input buffer "Shading"; the Multiply is applied
// first. Entry 2.0 holds one white "Add" layer at intensity 50 on the input
// buffer "Depth", inverted; the frame has no depth, which reads 0.0, so the
// input weight is 1 and u = 0.5. Value 0 has no entry.
const float kSpecial[12] = {1, 1, 2, 0, 1, 2, 2, 0, 1, 1, 0, 2};
const float kShading[12] = {0.5f, 1.0f, 0.9f,  0.9f,  0.0f, 0.9f,
                            0.9f, 0.9f, 0.25f, 0.75f, 0.9f, 0.9f};
const float kColour[12][4] = {
    {0.4f, 0.5f, 0.6f, 1.0f}, {0.8f, 0.25f, 0.5f, 1.0f}, {0.3f, 0.6f, 0.9f, 1.0f},
    {0.9f, 0.8f, 0.7f, 1.0f}, {0.1f, 0.2f, 0.3f, 0.5f},  {0.0f, 0.1f, 0.2f, 0.25f},
    {0.7f, 0.7f, 0.7f, 1.0f}, {-0.5f, 2.0f, 0.3f, 1.0f}, {1.0f, 1.0f, 1.0f, 1.0f},
    {0.5f, 0.5f, 0.0f, 1.0f}, {0.2f, 0.4f, 0.6f, 0.8f},  {0.05f, 0.15f, 0.45f, 1.0f}};

// Worked out by hand. Entry 1, with u the pixel's shading: the Multiply
// gives (r, g (1 - u + 0.2 u), b (1 - u)), then the Add adds (0.2, 0, 0.4).
//   (0,0) u 0.5:  (0.4, 0.5 x 0.6, 0.6 x 0.5) + add = (0.6, 0.3, 0.7)
//   (1,0) u 1.0:  (0.8, 0.25 x 0.2, 0)        + add = (1.0, 0.05, 0.4)
//   (0,1) u 0.0:  (0.1, 0.2, 0.3)             + add = (0.3, 0.2, 0.7)
//   (0,2) u 0.25: (1.0, 1.0 x 0.8, 1.0 x 0.75) + add = (1.2, 0.8, 1.15)
//   (1,2) u 0.75: (0.5, 0.5 x 0.4, 0)          + add = (0.7, 0.2, 0.4)
// Entry 2: (1 - 0.5) P + 0.5 (P + 1) = P + 0.5 on each channel.
// Alpha goes out as it came in; unmatched pixels keep their colour, even a
// negative red and a green above 1.
const float kExpected[12][4] = {
    {0.6f, 0.3f, 0.7f, 1.0f}, {1.0f, 0.05f, 0.4f, 1.0f}, {0.8f, 1.1f, 1.4f, 1.0f},
    {0.9f, 0.8f, 0.7f, 1.0f}, {0.3f, 0.2f, 0.7f, 0.5f},  {0.5f, 0.6f, 0.7f, 0.25f},
    {1.2f, 1.2f, 1.2f, 1.0f}, {-0.5f, 2.0f, 0.3f, 1.0f}, {1.2f, 0.8f, 1.15f, 1.0f},
    {0.7f, 0.2f, 0.4f, 1.0f}, {0.2f, 0.4f, 0.6f, 0.8f},  {0.55f, 0.65f, 0.95f, 1.0f}};

const char kScene[] = R"({
  "surfaces": [
    {"name": "Skin", "SpecialBuffer1": 1.0, "BaseColor": [1.0, 0.8, 0.7]},
    {"name": "Cloth", "SpecialBuffer1": 2.0, "BaseColor": [0.2, 0.2, 0.9]}
  ],
  "filter": {"state": [
    "-3 2 3",
    "1.000000 2 ",
    "0 1 51 0 102 100.000000 1 0 0 0 100.000000 0",
    "0 1 255 51 0 100.000000 3 7 0 0 100.000000 0",
    "2.000000 1 ",
    "0 1 255 255 255 50.000000 1 12 1 0 100.000000 0"
  ]}
})";

const char *const kChannelNames[4] = {"R", "G", "B", "A"};

// Writes the test frame and scene into `dir`.
void writeInputs(const std::string &dir) {
  qx::Frame frame(4, 3);
  for (int i = 0; i < 12; ++i) {
    frame.mutablePlane(0)[i] = kSpecial[i];
    frame.mutablePlane(9)[i] = kShading[i];
    for (int c = 0; c < 4; ++c) frame.mutablePlane(32 + c)[i] = kColour[i][c];
  }
  frame.writeExr(dir + "/frame.exr");
  std::ofstream(dir + "/scene.json") << kScene;
}

std::string renderArgs(const std::string &dir, const std::string &out) {
  return "render --scene '" + dir + "/scene.json' --frame '" + dir + "/frame.exr' --out '" + dir +
         "/" + out + "'";
}

TEST(RenderCommand, FiltersMatchingPixelsByTheirLayersAndLeavesTheOthersAlone) {
  const std::string dir = freshDir("exr");
  writeInputs(dir);
  const Outcome run = qxhost(renderArgs(dir, "out.exr"));
  ASSERT_EQ(run.status, 0) << run.err;

  const qx::Frame out = qx::Frame::readExr(dir + "/out.exr");
  ASSERT_EQ(out.width(), 4);
  ASSERT_EQ(out.height(), 3);
  for (int i = 0; i < 12; ++i) {
    const int x = i % 4, y = i / 4;
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR(out.value(32 + c, x, y), kExpected[i][c], 1e-5)
          << kChannelNames[c] << " at (" << x << ", " << y << "), special-buffer value "
          << kSpecial[i];
    }
  }
}

TEST(RenderCommand, ExrOutputWithKeepRgbaHoldsFloatRgbaUnclamped) {
  const std::string dir = freshDir("exr_channels");
  writeInputs(dir);
  ASSERT_EQ(qxhost(renderArgs(dir, "out.exr") + " --keep rgba").status, 0);

  Imf::InputFile file((dir + "/out.exr").c_str());
  std::vector<std::string> names;
  for (auto it = file.header().channels().begin(); it != file.header().channels().end(); ++it) {
    names.push_back(it.name());
    EXPECT_EQ(it.channel().type, Imf::FLOAT) << "channel " << it.name() << " is not FLOAT";
  }
  const std::vector<std::string> expected = {"A", "B", "G", "R"}; // the file lists them sorted
  EXPECT_EQ(names, expected);

  const qx::Frame out = qx::Frame::readExr(dir + "/out.exr");
  EXPECT_NEAR(out.value(32, 0, 2), 1.2f, 1e-5) << "a red above 1 is kept";
  EXPECT_EQ(out.value(32, 3, 1), -0.5f) << "an untouched negative red is kept";
}

TEST(RenderCommand, PngOutputIsEightBitRgbaClampedAndTruncated) {
  const std::string dir = freshDir("png");
  writeInputs(dir);
  ASSERT_EQ(qxhost(renderArgs(dir, "out.exr")).status, 0);
  ASSERT_EQ(qxhost(renderArgs(dir, "out.PNG")).status, 0);

  const qx::Frame exr = qx::Frame::readExr(dir + "/out.exr");
  const Picture png = readPng(dir + "/out.PNG", true);
  ASSERT_EQ(png.width, 4u);
  ASSERT_EQ(png.height, 3u);
  for (int i = 0; i < 12; ++i) {
    for (int c = 0; c < 4; ++c) {
      const float v = exr.value(32 + c, i % 4, i / 4);
      const int byte = v <= 0.0f ? 0 : v >= 1.0f ? 255 : static_cast<int>(std::trunc(v * 255.0f));
      EXPECT_EQ(png.channel(static_cast<std::size_t>(i), c), byte)
          << kChannelNames[c] << " at (" << i % 4 << ", " << i / 4 << "), float " << v;
    }
  }
  EXPECT_EQ(png.channel(8, 0), 255) << "red 1.2 at (0, 2) clamps to 255";
  EXPECT_EQ(png.channel(7, 0), 0) << "red -0.5 at (3, 1) clamps to 0";
  EXPECT_EQ(png.channel(5, 3), 63) << "alpha 0.25 at (1, 1) is trunc(63.75)";
}

TEST(RenderCommand, WarnsOnceForEachRequestedBufferTheFrameLacks) {
  const std::string dir = freshDir("warning");
  writeInputs(dir);
  const Outcome run = qxhost(renderArgs(dir, "out.exr"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(occurrences(run.err, "qxhost: warning:"), 1) << "stderr was:\n" << run.err;
  EXPECT_EQ(occurrences(run.err, "\"Depth\""), 1) << "stderr was:\n" << run.err;
  EXPECT_EQ(occurrences(run.err, "Shading"), 0) << "the frame has Shading; stderr:\n" << run.err;
}

TEST(RenderCommand, BadArgumentsExitWithTwoAndSayWhy) {
  const std::string dir = freshDir("bad");
  writeInputs(dir);
  struct Case {
    std::string args;
    std::string mention;
  };
  const Case cases[] = {
      {"render --scene '" + dir + "/scene.json'", "--out"},
      {renderArgs(dir, "out.exr") + " --threads 0", "--threads"},
      {renderArgs(dir, "out.tif"), "out.tif"},
      {"render --scene '" + dir + "/scene.json' --frame '" + dir + "/none.exr' --out '" + dir +
           "/o.exr'",
       "none.exr"},
      {"render --scene '" + dir + "/none.json' --frame '" + dir + "/frame.exr' --out '" + dir +
           "/o.exr'",
       "none.json"},
      {"render --frame '" + dir + "/scene.json' --scene '" + dir + "/scene.json' --out '" + dir +
           "/o.exr'",
       "scene.json"},
      {"flags", "--scene"},
      {"demo", "--out-dir"},
  };
  for (const Case &c : cases) {
    const Outcome run = qxhost(c.args);
    EXPECT_EQ(run.status, 2) << "qxhost " << c.args << "\nstderr: " << run.err;
    EXPECT_NE(run.err.find(c.mention), std::string::npos)
        << "qxhost " << c.args << " should mention " << c.mention << "; stderr: " << run.err;
  }
  const Outcome run = qxhost(renderArgs(dir, "out.tif"));
  EXPECT_EQ(run.err.rfind("qxhost: ", 0), 0u) << "stderr: " << run.err;
}

TEST(RenderCommand, EachCommandExplainsItselfWithHelp) {
  const std::pair<const char *, const char *> commands[] = {
      {"render", "--threads"}, {"demo", "--out-dir"}, {"flags", "--scene"}, {"state", "--raw"}};
  for (const auto &[name, option] : commands) {
    const Outcome run = qxhost(std::string(name) + " --help");
    EXPECT_EQ(run.status, 0) << "qxhost " << name << " --help; stderr: " << run.err;
    EXPECT_NE(run.out.find(option), std::string::npos)
        << "qxhost " << name << " --help should list " << option << "; it printed:\n"
        << run.out;
  }
}

TEST(FlagsCommand, PrintsTheMaskAndTheBuffersItAsksFor) {
  const std::string dir = freshDir("flags");
  writeInputs(dir);
  const Outcome run = qxhost("flags --scene '" + dir + "/scene.json'");
  ASSERT_EQ(run.status, 0) << run.err;
  // Bit 0 always, bit 9 for the Multiply's "Shading", bit 12 for the Add's
  // "Depth".
  EXPECT_NE(run.out.find("0x00001201"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("SpecialBuffer"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Shading"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Depth"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Diffuse"), std::string::npos) << run.out;
}

TEST(StateCommand, PrintsEntriesAndLayersWithModeAndBufferNames) {
  const std::string dir = freshDir("state");
  writeInputs(dir);
  const Outcome run = qxhost("state --scene '" + dir + "/scene.json'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("2 entries, 3 layers"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1.000000, 2 layers (Skin)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("2.000000, 1 layer (Cloth)"), std::string::npos) << run.out;
  // The Add of entry 1 stands above its Multiply.
  const std::size_t add = run.out.find("Add");
  const std::size_t multiply = run.out.find("Multiply");
  ASSERT_NE(multiply, std::string::npos) << run.out;
  EXPECT_LT(add, multiply) << run.out;
  EXPECT_NE(run.out.find("input Shading"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("input Depth (inverted)"), std::string::npos) << run.out;
}

TEST(StateCommand, ShowsLinesAsTheModuleRestoresThem) {
  const std::string dir = freshDir("state_damaged");
  // Colour 300 keeps its low 8 bits, 44, when the module reads it back.
  std::ofstream(dir + "/scene.json") << R"({"surfaces": [],
    "filter": {"state": ["-3 1 1", "7.000000 1 ",
                         "0 1 300 0 0 100.000000 5 0 0 0 100.000000 0"]}})";
  const Outcome run = qxhost("state --raw --scene '" + dir + "/scene.json'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("0 1 44 0 0 100.000000 5 0 0 0 100.000000 0"), std::string::npos)
      << run.out;
}

// The demo frame is large enough to give every thread many rows. The files
// are written once for the tests below; each checks that it worked.
class DemoFiles : public testing::Test {
protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(freshDir("demo"));
    written_ = new Outcome(qxhost("demo --out-dir '" + *dir_ + "/files'"));
  }
  static void TearDownTestSuite() {
    std::filesystem::remove_all(*dir_);
    delete written_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_EQ(written_->status, 0) << "qxhost demo --out-dir failed: " << written_->err;
  }
  static std::string *dir_;
  static Outcome *written_;
};
std::string *DemoFiles::dir_ = nullptr;
Outcome *DemoFiles::written_ = nullptr;

// The demo's scene is a file in the repository, built into qxhost; what
// qxhost writes is that file unchanged, stacks and all.
TEST_F(DemoFiles, TheWrittenSceneIsTheRepositorysDemoScene) {
  EXPECT_EQ(readAll(*dir_ + "/files/scene.json"),
            readAll(std::string(QX_SOURCE_DIR) + "/examples/demo/scene.json"))
      << "qxhost demo and examples/demo/scene.json disagree";
}

TEST_F(DemoFiles, OneAndTwoThreadsRenderTheSameFrame) {
  const std::string in = *dir_ + "/files";
  const std::string base =
      "render --scene '" + in + "/scene.json' --frame '" + in + "/frame.exr' --out '" + *dir_;
  ASSERT_EQ(qxhost(base + "/one.exr' --threads 1").status, 0);
  ASSERT_EQ(qxhost(base + "/two.exr' --threads 2").status, 0);
  const qx::Frame one = qx::Frame::readExr(*dir_ + "/one.exr");
  const qx::Frame two = qx::Frame::readExr(*dir_ + "/two.exr");
  ASSERT_EQ(one.pixelCount(), two.pixelCount());
  std::size_t differ = 0;
  for (int c = 32; c < 36; ++c) {
    for (std::size_t i = 0; i < one.pixelCount(); ++i) differ += one.plane(c)[i] != two.plane(c)[i];
  }
  EXPECT_EQ(differ, 0u) << "channel values that differ between 1 and 2 threads";
}

TEST_F(DemoFiles, PlanesOfTheFrameRenderToThePlanesOfTheExrRender) {
  const std::string in = *dir_ + "/files";
  const Outcome planes =
      qxhost("planes --frame '" + in + "/frame.exr' --out-dir '" + *dir_ + "/planes'");
  ASSERT_EQ(planes.status, 0) << planes.err;
  const std::string scene = " --scene '" + in + "/scene.json'";
  ASSERT_EQ(qxhost("render" + scene + " --frame '" + in + "/frame.exr' --out '" + *dir_ +
                   "/from-exr.exr' --keep rgba")
                .status,
            0);
  const Outcome fromPlanes = qxhost("render" + scene + " --frame '" + *dir_ + "/planes/' --out '" +
                                    *dir_ + "/from-planes/'");
  ASSERT_EQ(fromPlanes.status, 0) << fromPlanes.err;

  const qx::Frame exr = qx::Frame::readExr(*dir_ + "/from-exr.exr");
  const qx::Frame npy = qx::Frame::readPlanes(*dir_ + "/from-planes/");
  ASSERT_EQ(npy.width(), exr.width());
  ASSERT_EQ(npy.height(), exr.height());
  for (int c = 0; c < qx::kBufferSlots; ++c) {
    ASSERT_EQ(npy.has(c), exr.has(c)) << "buffer " << c << " held in one output only";
    if (!exr.has(c)) continue;
    std::size_t differ = 0;
    for (std::size_t i = 0; i < exr.pixelCount(); ++i) {
      differ += std::memcmp(&npy.plane(c)[i], &exr.plane(c)[i], sizeof(float)) != 0;
    }
    EXPECT_EQ(differ, 0u) << "pixels of " << qx::bufferChannelName(c)
                          << " that differ between the planes render and the EXR render";
  }
}

TEST_F(DemoFiles, RenderingTheWrittenFilesGivesTheDemosAfterImage) {
  const std::string in = *dir_ + "/files";
  const Outcome files = qxhost("render --scene '" + in + "/scene.json' --frame '" + in +
                               "/frame.exr' --out '" + *dir_ + "/after.png'");
  ASSERT_EQ(files.status, 0) << files.err;
  EXPECT_EQ(files.err, "") << "the demo frame holds every buffer its layers ask for";

  const Outcome demo = qxhost("render", *dir_);
  ASSERT_EQ(demo.status, 0) << demo.err;
  const std::string picture = std::filesystem::canonical(*dir_ + "/quintessalux-demo.png");
  EXPECT_EQ(demo.out, picture + "\n") << "qxhost render prints the picture's path";

  const Picture both = readPng(picture, true);
  const Picture after = readPng(*dir_ + "/after.png", true);
  ASSERT_EQ(both.width, 1920u);
  ASSERT_EQ(both.height, 540u);
  ASSERT_EQ(after.width, 960u);
  ASSERT_EQ(after.height, 540u);
  std::size_t sameAsFiles = 0, changed = 0;
  for (std::size_t y = 0; y < 540; ++y) {
    for (std::size_t x = 0; x < 960; ++x) {
      const png_byte *left = &both.bytes[(y * 1920 + x) * 4];
      const png_byte *right = &both.bytes[(y * 1920 + 960 + x) * 4];
      const png_byte *alone = &after.bytes[(y * 960 + x) * 4];
      sameAsFiles += std::equal(right, right + 4, alone);
      changed += !std::equal(left, left + 4, right);
    }
  }
  EXPECT_EQ(sameAsFiles, 960u * 540u) << "pixels of the demo's right half equal to the render";
  // The layers cover every object and the ground: most of the picture changes.
  EXPECT_GT(changed, 960u * 540u / 2) << "pixels the filter changed in the demo";
}

} // namespace
