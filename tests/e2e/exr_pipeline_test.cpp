// qxhost render on files as renderers and compositors make them: windows,
// attributes, pass-through channels and types, renamed channels and parts,
// alpha, PNG transfer and sequences. Every input is made here with OpenEXR.
#include <gtest/gtest.h>

#include <ImfInputFile.h>
#include <ImfIntAttribute.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_files.h"
#include "exr_make.h"
#include "frames/frame.h"
#include "qxhost_run.h"

namespace {

using namespace e2e;

// Entry 2.0 adds white at half strength through the inverted "Depth"
// buffer, which the files here lack (it reads 0.0): every channel of a
// pixel of special-buffer value 2 comes out as P + 0.5. Value 0 has no
// entry.
const char kScene[] = R"({"surfaces": [{"name": "Cloth", "SpecialBuffer1": 2.0,
  "BaseColor": [0.2, 0.2, 0.9]}], "filter": {"state": ["-3 1 1", "2.000000 1 ",
  "0 1 255 255 255 50.000000 1 12 1 0 100.000000 0"]}})";

std::string writeScene(const std::string &dir) {
  writeFile(dir + "/scene.json", kScene);
  return dir + "/scene.json";
}

std::string render(const std::string &dir, const std::string &in, const std::string &out,
                   const std::string &more = "") {
  return "render --scene '" + dir + "/scene.json' --frame '" + in + "' --out '" + out + "' " + more;
}

// A 4x3 colour whose first pixel has special-buffer value 2.
std::vector<MadeChannel> colourChannels(const std::vector<std::string> &names,
                                        Imf::PixelType type) {
  std::vector<MadeChannel> channels;
  for (std::size_t c = 0; c < names.size(); ++c) {
    std::vector<double> v(12);
    for (int i = 0; i < 12; ++i)
      v[i] = c == 3 ? 1.0 : 0.125 * static_cast<double>(c + 1) + 0.0625 * (i % 4);
    channels.push_back({names[c], type, v});
  }
  return channels;
}
std::vector<double> specialOnFirstPixel() {
  std::vector<double> v(12, 0.0);
  v[0] = 2.0;
  return v;
}

float readChannel(Imf::InputFile &file, const std::string &name, int x, int y) {
  const Imath::Box2i w = file.header().dataWindow();
  const int width = w.max.x - w.min.x + 1, height = w.max.y - w.min.y + 1;
  std::vector<float> plane(static_cast<std::size_t>(width * height));
  Imf::FrameBuffer slices;
  slices.insert(name, Imf::Slice::Make(Imf::FLOAT, plane.data(), w));
  file.setFrameBuffer(slices);
  file.readPixels(w.min.y, w.max.y);
  return plane[static_cast<std::size_t>(y * width + x)];
}

TEST(CompositorFiles, AnOffsetTiledHalfFrameKeepsItsWindowsAttributesChannelsAndTypes) {
  const std::string dir = freshDir("story_windows");
  writeScene(dir);
  MadePart part{"beauty", box(100, 50, 103, 52), box(0, 0, 1279, 719), {}, 2, Imf::Header()};
  part.channels = colourChannels({"R", "G", "B", "A"}, Imf::HALF);
  part.channels.push_back({"SpecialBuffer", Imf::FLOAT, specialOnFirstPixel()});
  part.channels.push_back({"Z", Imf::FLOAT, std::vector<double>(12, 7.25)});
  part.channels.push_back({"crypto.id", Imf::UINT, std::vector<double>(12, 3000000001.0)});
  Imf::addOwner(part.extra, "lighting");
  Imf::addComments(part.extra, "shot 42, take 3");
  Imf::addFramesPerSecond(part.extra, Imf::Rational(24, 1));
  part.extra.insert("studio/shot", Imf::StringAttribute("sq010_sh042"));
  // Provenance of another type, as another tool may have left it: replaced.
  part.extra.insert("qxhost:scene", Imf::IntAttribute(7));
  writeParts(dir + "/in.exr", {part});

  const Outcome run = qxhost(render(dir, dir + "/in.exr", dir + "/out.exr"));
  ASSERT_EQ(run.status, 0) << run.err;
  Imf::InputFile out((dir + "/out.exr").c_str());
  const Imf::Header &h = out.header();
  EXPECT_EQ(h.dataWindow(), box(100, 50, 103, 52)) << "the data window moved";
  EXPECT_EQ(h.displayWindow(), box(0, 0, 1279, 719)) << "the display window changed";
  EXPECT_TRUE(h.hasTileDescription()) << "a tiled input is written tiled";
  ASSERT_TRUE(Imf::hasOwner(h) && Imf::hasComments(h) && Imf::hasFramesPerSecond(h));
  EXPECT_EQ(Imf::owner(h), "lighting");
  EXPECT_EQ(Imf::comments(h), "shot 42, take 3");
  EXPECT_EQ(Imf::framesPerSecond(h), Imf::Rational(24, 1));
  const auto *shot = h.findTypedAttribute<Imf::StringAttribute>("studio/shot");
  ASSERT_NE(shot, nullptr) << "the custom attribute was dropped";
  EXPECT_EQ(shot->value(), "sq010_sh042");
  const auto *version = h.findTypedAttribute<Imf::StringAttribute>("qxhost:version");
  ASSERT_NE(version, nullptr) << "no provenance";
  EXPECT_EQ(version->value() + "\n", qxhost("--version").out) << "the version --version prints";
  const auto *scene = h.findTypedAttribute<Imf::StringAttribute>("qxhost:scene");
  ASSERT_NE(scene, nullptr) << "an input's qxhost:scene of another type is replaced";
  EXPECT_NE(scene->value().find("scene.json"), std::string::npos) << scene->value();
  EXPECT_NE(h.findTypedAttribute<Imf::StringAttribute>("qxhost:module"), nullptr);

  const std::pair<const char *, Imf::PixelType> types[] = {{"R", Imf::HALF},
                                                           {"G", Imf::HALF},
                                                           {"B", Imf::HALF},
                                                           {"A", Imf::HALF},
                                                           {"SpecialBuffer", Imf::FLOAT},
                                                           {"Z", Imf::FLOAT},
                                                           {"crypto.id", Imf::UINT}};
  for (const auto &[name, type] : types) {
    const Imf::Channel *c = h.channels().findChannel(name);
    ASSERT_NE(c, nullptr) << "channel " << name << " was not passed through";
    EXPECT_EQ(c->type, type) << "channel " << name << " changed its pixel type";
  }
  // The filter's pixel (0, 0) is the data window's corner.
  EXPECT_EQ(readChannel(out, "R", 0, 0), 0.125f + 0.5f) << "red of the matched corner pixel";
  EXPECT_EQ(readChannel(out, "R", 1, 0), 0.1875f) << "red of an unmatched pixel";
  EXPECT_EQ(readChannel(out, "Z", 3, 2), 7.25f);
  {
    std::vector<unsigned int> ids(12);
    Imf::FrameBuffer slices;
    slices.insert("crypto.id", Imf::Slice::Make(Imf::UINT, ids.data(), h.dataWindow()));
    out.setFrameBuffer(slices);
    out.readPixels(50, 52);
    EXPECT_EQ(ids[11], 3000000001u) << "a uint id beyond a float's exact range is kept";
  }

  // A PNG shows the display window, the data window in place and the rest
  // transparent; --png-window data keeps the data window alone.
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/out.png")).status, 0);
  const Picture picture = readPng(dir + "/out.png", true);
  ASSERT_EQ(picture.width, 1280u);
  ASSERT_EQ(picture.height, 720u);
  EXPECT_EQ(picture.channel(50 * 1280 + 100, 3), 255) << "the data window's corner, opaque";
  EXPECT_EQ(picture.channel(50 * 1280 + 100, 0), static_cast<int>(0.625 * 255))
      << "the filtered corner in place";
  EXPECT_EQ(picture.channel(0, 3), 0) << "outside the data window: transparent";
  EXPECT_EQ(picture.channel(53 * 1280 + 100, 3), 0) << "one row below it";
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/crop.png", "--png-window data")).status, 0);
  EXPECT_EQ(readPng(dir + "/crop.png", true).width, 4u);

  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/float.exr", "--float")).status, 0);
  Imf::InputFile forced((dir + "/float.exr").c_str());
  EXPECT_EQ(forced.header().channels().findChannel("R")->type, Imf::FLOAT) << "--float";
  EXPECT_EQ(forced.header().channels().findChannel("crypto.id")->type, Imf::UINT)
      << "--float leaves uint channels alone";
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/rgba.exr", "--keep rgba")).status, 0);
  Imf::InputFile rgba((dir + "/rgba.exr").c_str());
  int count = 0;
  for (auto it = rgba.header().channels().begin(); it != rgba.header().channels().end(); ++it) {
    ++count;
    EXPECT_EQ(it.channel().type, Imf::HALF)
        << it.name() << " left its input type under --keep rgba";
  }
  EXPECT_EQ(count, 4) << "--keep rgba writes R, G, B and A only";
}

TEST(RenamedChannels, MappedThroughChAcrossPartsOrThroughAMapFile) {
  const std::string dir = freshDir("story_renamed");
  writeScene(dir);
  MadePart beauty{"beauty", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  beauty.channels = colourChannels({"ViewLayer.Combined.R", "ViewLayer.Combined.G",
                                    "ViewLayer.Combined.B", "ViewLayer.Combined.A"},
                                   Imf::FLOAT);
  MadePart aov{"aov", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  aov.channels.push_back({"objectId", Imf::FLOAT, specialOnFirstPixel()});
  writeParts(dir + "/layers.exr", {beauty, aov});

  const std::string ch = "--verbose --ch SpecialBuffer=objectId,R=ViewLayer.Combined.R,"
                         "G=ViewLayer.Combined.G --ch B=ViewLayer.Combined.B,"
                         "A=ViewLayer.Combined.A,Shadow=1.0";
  const Outcome mapped = qxhost(render(dir, dir + "/layers.exr", dir + "/out.exr", ch));
  ASSERT_EQ(mapped.status, 0) << mapped.err;
  EXPECT_NE(mapped.err.find("reads channel \"objectId\" of part 1"), std::string::npos)
      << "--verbose names the part; stderr:\n"
      << mapped.err;
  Imf::InputFile out((dir + "/out.exr").c_str());
  EXPECT_EQ(readChannel(out, "ViewLayer.Combined.R", 0, 0), 0.625f)
      << "the filtered colour goes back into the channel it came from";

  const Outcome onePart =
      qxhost(render(dir, dir + "/layers.exr", dir + "/part.exr", ch + " --part beauty"));
  EXPECT_EQ(onePart.status, 2) << "--part beauty holds no objectId; stderr:\n" << onePart.err;
  EXPECT_NE(onePart.err.find("no channel \"objectId\" for \"SpecialBuffer\""), std::string::npos)
      << onePart.err;
  EXPECT_EQ(qxhost(render(dir, dir + "/layers.exr", dir + "/part.exr", ch + " --part 1")).status, 2)
      << "part 1 holds no colour";

  const Outcome unmapped = qxhost(render(dir, dir + "/layers.exr", dir + "/bad.exr"));
  EXPECT_EQ(unmapped.status, 2);
  EXPECT_NE(unmapped.err.find("no channel \"SpecialBuffer\""), std::string::npos) << unmapped.err;
  EXPECT_NE(unmapped.err.find("objectId (part 1)"), std::string::npos)
      << "the error lists the file's channels; stderr:\n"
      << unmapped.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/bad.exr")) << "nothing written after the error";
  const Outcome allowed =
      qxhost(render(dir, dir + "/layers.exr", dir + "/zero.exr", "--allow-missing"));
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_NE(allowed.err.find("warning"), std::string::npos) << allowed.err;

  MadePart lower{"", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  lower.channels = colourChannels({"r", "g", "b", "a"}, Imf::HALF);
  lower.channels.push_back({"id", Imf::UINT, specialOnFirstPixel()});
  writeParts(dir + "/lower.exr", {lower});
  const Outcome missing = qxhost(render(dir, dir + "/lower.exr", dir + "/bad.exr"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("the file has a, b, g, id, r"), std::string::npos) << missing.err;
  const Outcome byFile =
      qxhost(render(dir, dir + "/lower.exr", dir + "/lower-out.exr",
                    "--ch-map '" QX_SOURCE_DIR "/examples/channel-maps/lowercase-rgba.json'"));
  ASSERT_EQ(byFile.status, 0) << byFile.err;
  Imf::InputFile lowerOut((dir + "/lower-out.exr").c_str());
  EXPECT_EQ(readChannel(lowerOut, "r", 0, 0), 0.625f) << "uint ids select the entry too";
}

// Mappings that would write wrong pixels and still exit 0: two colours in
// one channel, constants no float holds, and plane folders that took no
// notice of --ch, --ch-map or --max-pixels.
TEST(RenamedChannels, ColoursSharingAChannelAndConstantsNoFloatHoldsAreRefusedAndPlanesAreMapped) {
  const std::string dir = freshDir("story_wrong_pixels");
  writeScene(dir);
  MadePart part{"", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  part.channels = colourChannels({"R", "G", "B"}, Imf::FLOAT);
  part.channels.push_back({"Y", Imf::FLOAT, std::vector<double>(12, 0.25)});
  part.channels.push_back({"SpecialBuffer", Imf::FLOAT, specialOnFirstPixel()});
  writeParts(dir + "/rgb.exr", {part});
  const std::string in = dir + "/rgb.exr", out = dir + "/out.exr";

  for (const char *ch : {"R=G", "R=Y,G=Y,B=Y"}) {
    const Outcome shared = qxhost(render(dir, in, out, std::string("--allow-missing --ch ") + ch));
    EXPECT_EQ(shared.status, 2) << ch << ": " << shared.err;
    EXPECT_NE(shared.err.find("would be written into channel"), std::string::npos) << shared.err;
  }
  EXPECT_FALSE(std::filesystem::exists(out));
  ASSERT_EQ(qxhost(render(dir, in, out, "--allow-missing --keep rgba --ch R=Y,G=Y,B=Y")).status, 0)
      << "under --keep rgba each colour has its own channel";

  for (const std::string constant : {"1e-50", "nan", "1e400", "-1e39"}) {
    const Outcome bad = qxhost(render(dir, in, out, "--allow-missing --ch Shadow=" + constant));
    EXPECT_EQ(bad.status, 2) << constant << ": " << bad.err;
    EXPECT_NE(bad.err.find("the constant " + constant), std::string::npos) << bad.err;
  }
  writeFile(dir + "/huge.json", R"({"Shadow": 1e300})");
  const Outcome huge =
      qxhost(render(dir, in, out, "--allow-missing --ch-map " + dir + "/huge.json"));
  EXPECT_EQ(huge.status, 2) << huge.err;
  EXPECT_NE(huge.err.find("beyond the float range"), std::string::npos) << huge.err;
  EXPECT_EQ(qxhost(render(dir, in, out, "--allow-missing --ch Shadow=1e-40")).status, 0)
      << "a subnormal float is a constant like any other";

  // A buffer mapped twice, in one list or one file, would lose a mapping.
  EXPECT_EQ(qxhost(render(dir, in, out, "--allow-missing --ch Shadow=1,Shadow=2")).status, 2);
  writeFile(dir + "/twice.json", R"({"Shadow": 1, "Shadow": 2})");
  EXPECT_EQ(qxhost(render(dir, in, out, "--allow-missing --ch-map " + dir + "/twice.json")).status,
            2);
  // A mapped channel the frame lacks, for a buffer the filter reads (the
  // stack reads Depth): an error naming the closest channels, not 0.0.
  const Outcome typo = qxhost(render(dir, in, out, "--ch Depth=Yy,A=1"));
  EXPECT_EQ(typo.status, 2) << typo.err;
  EXPECT_NE(typo.err.find("no channel \"Yy\" for \"Depth\" (buffer 12) (closest: Y, "),
            std::string::npos)
      << typo.err;

  // No A in, no A out: --allow-missing reads it as 0.0 and writes nothing.
  const Outcome rgb = qxhost(render(dir, in, out, "--allow-missing"));
  ASSERT_EQ(rgb.status, 0) << rgb.err;
  {
    Imf::InputFile file(out.c_str());
    EXPECT_EQ(file.header().channels().findChannel("A"), nullptr) << "an A the input lacked";
    EXPECT_EQ(readChannel(file, "R", 0, 0), 0.625f);
  }

  // A plane folder: the special buffer under a renderer's name.
  ASSERT_EQ(qxhost("planes --frame '" + in + "' --out-dir '" + dir + "/pl'").status, 0);
  std::filesystem::rename(dir + "/pl/SpecialBuffer.npy", dir + "/pl/objectId.npy");
  const std::string planes = "--allow-missing --ch SpecialBuffer=objectId";
  const Outcome mapped = qxhost(render(dir, dir + "/pl/", dir + "/po/", planes));
  ASSERT_EQ(mapped.status, 0) << mapped.err;
  EXPECT_EQ(qx::Frame::readPlanes(dir + "/po/").value(32, 0, 0), 0.625f)
      << "the mapped plane selects the entry";
  const Outcome unmapped = qxhost(render(dir, dir + "/pl/", dir + "/pu/"));
  EXPECT_EQ(unmapped.status, 2) << "no SpecialBuffer.npy without the map";
  EXPECT_NE(unmapped.err.find("objectId.npy"), std::string::npos)
      << "the error lists the folder's planes; stderr:\n"
      << unmapped.err;
  const Outcome large =
      qxhost(render(dir, dir + "/pl/", dir + "/pl2/", planes + " --max-pixels 11"));
  EXPECT_EQ(large.status, 2) << large.err;
  EXPECT_NE(large.err.find("--max-pixels"), std::string::npos) << large.err;
}

// A luminance/chroma render carries its chroma at half resolution both ways.
// The pair must come through sample for sample, keeping its sampling, over a
// frame taller than the rows the renderer reads at a time.
TEST(CompositorFiles, SubsampledChannelsPassThroughSampleForSampleOverATallFrame) {
  const std::string dir = freshDir("story_subsampled");
  writeScene(dir);
  const int width = 4, height = 132;
  const std::size_t pixels = static_cast<std::size_t>(width * height);
  std::vector<double> colour(pixels), one(pixels, 1.0), special(pixels, 0.0);
  std::vector<double> ry(pixels / 4), by(pixels / 4);
  for (std::size_t i = 0; i < pixels; ++i) colour[i] = 0.125 * static_cast<double>(i % 7);
  for (std::size_t i = 0; i < ry.size(); ++i) {
    ry[i] = 0.25 * static_cast<double>(i % 61);
    by[i] = -0.5 * static_cast<double>(i % 13);
  }
  special[100 * width + 1] = 2.0; // row 100 of the window
  MadePart part{"", box(2, 2, 5, 133), box(0, 0, 7, 139), {}, 0, Imf::Header()};
  part.channels = {{"R", Imf::FLOAT, colour},
                   {"G", Imf::FLOAT, colour},
                   {"B", Imf::FLOAT, colour},
                   {"A", Imf::FLOAT, one},
                   {"SpecialBuffer", Imf::FLOAT, special},
                   {"RY", Imf::HALF, ry, 2, 2},
                   {"BY", Imf::HALF, by, 2, 2}};
  writeParts(dir + "/in.exr", {part});

  const Outcome run = qxhost(render(dir, dir + "/in.exr", dir + "/out.exr", "--threads 2"));
  ASSERT_EQ(run.status, 0) << run.err;
  Imf::InputFile out((dir + "/out.exr").c_str());
  const Imath::Box2i window = out.header().dataWindow();
  ASSERT_EQ(window, box(2, 2, 5, 133));
  for (const auto &[name, expected] : {std::make_pair("RY", &ry), std::make_pair("BY", &by)}) {
    const Imf::Channel *channel = out.header().channels().findChannel(name);
    ASSERT_NE(channel, nullptr) << name << " was not passed through";
    EXPECT_EQ(channel->type, Imf::HALF) << name;
    EXPECT_EQ(channel->xSampling, 2) << name << " lost its sampling";
    EXPECT_EQ(channel->ySampling, 2) << name << " lost its sampling";
    std::vector<float> samples(expected->size(), -99.0f);
    Imf::FrameBuffer slices;
    slices.insert(name, Imf::Slice::Make(Imf::FLOAT, samples.data(), window, 0, 0, 2, 2));
    out.setFrameBuffer(slices);
    out.readPixels(window.min.y, window.max.y);
    int wrong = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (samples[i] != static_cast<float>((*expected)[i]) && wrong++ < 3) {
        ADD_FAILURE() << name << " sample " << i << " (row " << i / 2 << ") is " << samples[i]
                      << ", not " << (*expected)[i];
      }
    }
    EXPECT_EQ(wrong, 0) << name << ": samples that moved or changed";
  }
  const float r = static_cast<float>(colour[100 * width + 1]);
  EXPECT_EQ(readChannel(out, "R", 1, 100), r + 0.5f) << "the matched pixel far down the frame";
  EXPECT_EQ(readChannel(out, "R", 1, 99), static_cast<float>(colour[99 * width + 1]));
}

// The special buffer comes from another part whose data window is not the
// carried part's: it overlaps part of it and reaches past it. Each pixel
// takes that part's value at the same position, and 0.0 where that part
// has no pixel.
TEST(RenamedChannels, AnotherPartWithItsOwnWindowFeedsEachPixelByPosition) {
  const std::string dir = freshDir("story_part_windows");
  writeScene(dir);
  const std::size_t beautyPixels = 4 * 100;
  MadePart beauty{"beauty", box(0, 0, 3, 99), box(0, 0, 3, 99), {}, 0, Imf::Header()};
  beauty.channels = {{"R", Imf::FLOAT, std::vector<double>(beautyPixels, 0.25)},
                     {"G", Imf::FLOAT, std::vector<double>(beautyPixels, 0.25)},
                     {"B", Imf::FLOAT, std::vector<double>(beautyPixels, 0.25)},
                     {"A", Imf::FLOAT, std::vector<double>(beautyPixels, 1.0)}};
  // Columns 1 to 5, rows 50 to 140: value 2 everywhere but at (3, 70).
  std::vector<double> ids(5 * 91, 2.0);
  ids[(70 - 50) * 5 + (3 - 1)] = 0.0;
  MadePart idPart{"ids", box(1, 50, 5, 140), box(0, 0, 3, 99), {}, 0, Imf::Header()};
  idPart.channels = {{"objectId", Imf::FLOAT, ids}};
  writeParts(dir + "/parts.exr", {beauty, idPart});

  const Outcome run = qxhost(
      render(dir, dir + "/parts.exr", dir + "/out.exr", "--ch SpecialBuffer=objectId --verbose"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("reads channel \"objectId\" of part 1"), std::string::npos) << run.err;
  Imf::InputFile out((dir + "/out.exr").c_str());
  EXPECT_EQ(out.header().dataWindow(), box(0, 0, 3, 99)) << "the carried part's window";
  const struct {
    int x, y;
    float r;
    const char *why;
  } pixels[] = {{0, 60, 0.25f, "left of the ids part: reads 0.0"},
                {1, 49, 0.25f, "above the ids part: reads 0.0"},
                {1, 50, 0.75f, "the ids part's corner"},
                {3, 70, 0.25f, "the one pixel of value 0"},
                {2, 70, 0.75f, "beside it"},
                {3, 99, 0.75f, "the last row"}};
  for (const auto &p : pixels) {
    EXPECT_EQ(readChannel(out, "R", p.x, p.y), p.r) << "(" << p.x << ", " << p.y << "): " << p.why;
  }
}

TEST(AlphaConventions, PremultipliedInputIsDividedFilteredAndMultipliedBackWithZeroAlphaUntouched) {
  const std::string dir = freshDir("story_alpha");
  writeScene(dir);
  MadePart part{"", box(0, 0, 3, 0), box(0, 0, 3, 0), {}, 0, Imf::Header()};
  // (0, 0): premultiplied (0.1, 0.2, 0.3) at A 0.5; (1, 0): (0.3, 0, 0) at A 0;
  // (2, 0) and (3, 0): an alpha below the smallest normal float, and a
  // negative one, which count as 0.
  part.channels = {{"R", Imf::FLOAT, {0.1, 0.3, 0.3, 0.3}},
                   {"G", Imf::FLOAT, {0.2, 0.0, 0.0, 0.0}},
                   {"B", Imf::FLOAT, {0.3, 0.0, 0.0, 0.0}},
                   {"A", Imf::FLOAT, {0.5, 0.0, 1e-40, -0.25}},
                   {"SpecialBuffer", Imf::FLOAT, {2.0, 2.0, 2.0, 2.0}}};
  writeParts(dir + "/in.exr", {part});
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/pre.exr", "--alpha premultiplied")).status,
            0);
  Imf::InputFile pre((dir + "/pre.exr").c_str());
  // Straight (0.2, 0.4, 0.6) + 0.5 = (0.7, 0.9, 1.1), times A 0.5.
  EXPECT_NEAR(readChannel(pre, "R", 0, 0), 0.35f, 1e-6);
  EXPECT_NEAR(readChannel(pre, "B", 0, 0), 0.55f, 1e-6);
  EXPECT_FLOAT_EQ(readChannel(pre, "R", 1, 0), 0.3f) << "a pixel with A = 0 is untouched";
  EXPECT_FLOAT_EQ(readChannel(pre, "A", 1, 0), 0.0f);
  for (int x : {2, 3}) {
    EXPECT_EQ(readChannel(pre, "R", x, 0), 0.3f) << "an alpha that counts as 0, at x " << x;
    EXPECT_EQ(readChannel(pre, "G", x, 0), 0.0f) << "no NaN from a tiny alpha, at x " << x;
  }
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/straight.exr")).status, 0);
  Imf::InputFile straight((dir + "/straight.exr").c_str());
  EXPECT_NEAR(readChannel(straight, "R", 0, 0), 0.6f, 1e-6) << "straight is the default";
  EXPECT_NEAR(readChannel(straight, "R", 1, 0), 0.8f, 1e-6);
}

// --zip-level changes how hard the output is deflated, never what it holds.
TEST(CompositorFiles, TheZipLevelTradesSizeForTimeAndKeepsEverySample) {
  const std::string dir = freshDir("story_zip_level");
  writeScene(dir);
  const int side = 96;
  std::vector<double> wave(side * side), one(side * side, 1.0), special(side * side, 0.0);
  for (int i = 0; i < side * side; ++i) {
    wave[static_cast<std::size_t>(i)] =
        0.5 + 0.5 * std::sin(0.05 * (i % side) * (1 + i / side % 5));
  }
  special[0] = 2.0;
  MadePart part{"",           box(0, 0, side - 1, side - 1), box(0, 0, side - 1, side - 1), {}, 0,
                Imf::Header()};
  part.channels = {{"R", Imf::HALF, wave},
                   {"G", Imf::HALF, wave},
                   {"B", Imf::HALF, wave},
                   {"A", Imf::HALF, one},
                   {"SpecialBuffer", Imf::FLOAT, special}};
  writeParts(dir + "/in.exr", {part});

  for (const char *level : {"1", "9"}) {
    const Outcome run = qxhost(render(dir, dir + "/in.exr", dir + "/out" + level + ".exr",
                                      std::string("--zip-level ") + level));
    ASSERT_EQ(run.status, 0) << run.err;
  }
  EXPECT_LT(std::filesystem::file_size(dir + "/out9.exr"),
            std::filesystem::file_size(dir + "/out1.exr"));
  Imf::InputFile fast((dir + "/out1.exr").c_str()), small((dir + "/out9.exr").c_str());
  EXPECT_EQ(small.header().compression(), Imf::ZIP_COMPRESSION);
  for (int y : {0, 37, side - 1}) {
    EXPECT_EQ(readChannel(fast, "G", 5, y), readChannel(small, "G", 5, y)) << "row " << y;
  }
  EXPECT_EQ(readChannel(small, "R", 0, 0),
            static_cast<float>(half(static_cast<float>(wave[0]))) + 0.5f);
  EXPECT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/out0.exr", "--zip-level 0")).status, 2);
}

TEST(PngTransfer, LinearBytesSayGammaOneAndSrgbBytesCarryTheSrgbChunk) {
  const std::string dir = freshDir("story_png");
  writeScene(dir);
  MadePart part{"", box(0, 0, 0, 0), box(0, 0, 0, 0), {}, 0, Imf::Header()};
  part.channels = {{"R", Imf::FLOAT, {0.5}},
                   {"G", Imf::FLOAT, {0.2}},
                   {"B", Imf::FLOAT, {0.0}},
                   {"A", Imf::FLOAT, {0.5}},
                   {"SpecialBuffer", Imf::FLOAT, {0.0}}};
  writeParts(dir + "/in.exr", {part});
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/linear.png")).status, 0);
  ASSERT_EQ(qxhost(render(dir, dir + "/in.exr", dir + "/srgb.png", "--png-transfer srgb")).status,
            0);
  const testpng::StoredPng linear = testpng::readStoredPng(dir + "/linear.png");
  const testpng::StoredPng srgb = testpng::readStoredPng(dir + "/srgb.png");
  ASSERT_TRUE(linear.ok && srgb.ok);
  EXPECT_FALSE(linear.srgbChunk) << "a linear PNG must not claim sRGB";
  EXPECT_TRUE(linear.gammaChunk && std::fabs(linear.gamma - 1.0) < 1e-4) << linear.gamma;
  EXPECT_EQ(std::vector<int>(linear.bytes.begin(), linear.bytes.end()),
            (std::vector<int>{127, 51, 0, 127}))
      << "trunc(v x 255)";
  EXPECT_TRUE(srgb.srgbChunk);
  // 0.5 and 0.2 through the sRGB curve are 0.7354 and 0.4845; alpha stays linear.
  EXPECT_EQ(std::vector<int>(srgb.bytes.begin(), srgb.bytes.end()),
            (std::vector<int>{188, 124, 0, 127}));
}

TEST(Sequences, RenderEveryFrameInOneProcessSkipDamagedFramesAndSplitByTask) {
  const std::string dir = freshDir("story_sequence");
  writeScene(dir);
  for (int f = 1; f <= 4; ++f) {
    const std::string name = dir + "/in.000" + std::to_string(f) + ".exr";
    if (f == 3) {
      writeFile(name, "not an image");
      continue;
    }
    MadePart part{"", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
    part.channels = colourChannels({"R", "G", "B", "A"}, Imf::FLOAT);
    part.channels.push_back({"SpecialBuffer", Imf::FLOAT, specialOnFirstPixel()});
    writeParts(name, {part});
  }
  const Outcome all =
      qxhost(render(dir, dir + "/in.####.exr", dir + "/out.####.exr", "--frames 1-4 --threads 2"));
  EXPECT_EQ(all.status, 2) << "a damaged frame makes the run fail; stderr:\n" << all.err;
  EXPECT_NE(all.err.find("in.0003.exr"), std::string::npos) << all.err;
  EXPECT_NE(all.err.find("3 of 4 frames rendered, 1 failed"), std::string::npos) << all.err;
  for (int f : {1, 2, 4}) {
    const std::string out = dir + "/out.000" + std::to_string(f) + ".exr";
    ASSERT_TRUE(std::filesystem::exists(out)) << out << " missing";
    Imf::InputFile file(out.c_str());
    EXPECT_EQ(readChannel(file, "R", 0, 0), 0.625f) << out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.0003.exr"));

  const std::string stopped = freshDir("story_sequence_stop");
  const Outcome stop = qxhost(
      render(dir, dir + "/in.%04d.exr", stopped + "/o.%04d.exr", "--frames 1-4 --stop-on-error"));
  EXPECT_EQ(stop.status, 2) << stop.err;
  EXPECT_TRUE(std::filesystem::exists(stopped + "/o.0002.exr")) << "written frames are kept";
  EXPECT_FALSE(std::filesystem::exists(stopped + "/o.0004.exr")) << "--stop-on-error stops";

  const std::string task = freshDir("story_sequence_task");
  const Outcome mine =
      qxhost(render(dir, dir + "/in.####.exr", task + "/o.####.exr", "--frames 1-4 --task 2/2"));
  EXPECT_EQ(mine.status, 0) << "task 2 of 2 is frames 2 and 4; stderr:\n" << mine.err;
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(task)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"o.0002.exr", "o.0004.exr"}));
  const std::string stepped = freshDir("story_sequence_step");
  EXPECT_EQ(
      qxhost(render(dir, dir + "/in.####.exr", stepped + "/o.####.png", "--frames 1-4x3")).status,
      0);
  EXPECT_TRUE(std::filesystem::exists(stepped + "/o.0004.png")) << "1-4x3 is frames 1 and 4";
}

// Each frame of a sequence is checked against the files it would write over
// as the run reaches it: an output that is, through a link, the frame's own
// input or the scene fails that frame alone, and neither file is touched.
TEST(Sequences, AFrameWhoseOutputIsItsInputOrTheSceneFailsAloneAndTouchesNeither) {
  const std::string dir = freshDir("story_sequence_links");
  writeScene(dir);
  MadePart part{"", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  part.channels = colourChannels({"R", "G", "B", "A"}, Imf::FLOAT);
  part.channels.push_back({"SpecialBuffer", Imf::FLOAT, specialOnFirstPixel()});
  for (int f = 1; f <= 3; ++f) writeParts(dir + "/in.000" + std::to_string(f) + ".exr", {part});
  const std::string out = dir + "/out";
  std::filesystem::create_directories(out);
  std::filesystem::create_symlink(dir + "/in.0001.exr", out + "/o.0001.exr");
  std::filesystem::create_symlink(dir + "/scene.json", out + "/o.0002.exr");
  const std::string input = readAll(dir + "/in.0001.exr");
  const std::string scene = readAll(dir + "/scene.json");

  const Outcome run = qxhost(
      render(dir, dir + "/in.####.exr", out + "/o.####.exr", "--frames 1-3 --progress none"));
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("qxhost: " + out +
                         "/o.0001.exr: the output is the same file as the frame (" + dir +
                         "/in.0001.exr); choose another output\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("qxhost: " + out +
                         "/o.0002.exr: the output is the same file as the scene (" + dir +
                         "/scene.json); choose another output\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("1 of 3 frames rendered, 2 failed"), std::string::npos) << run.err;
  EXPECT_EQ(readAll(dir + "/in.0001.exr"), input);
  EXPECT_EQ(readAll(dir + "/scene.json"), scene);
  EXPECT_TRUE(std::filesystem::exists(out + "/o.0003.exr"));
}

// A farm's log is no terminal: there a sequence prints one line a finished
// frame, in the run's order (its number, its output, the seconds, the
// result), a damaged frame's reason before its line, and the summary last.
// --progress none keeps the reason and the summary, bar rewrites one line in
// place, and a single frame prints nothing.
TEST(Sequences, AFarmLogGetsOneLineForEachFinishedFrame) {
  const std::string dir = freshDir("story_sequence_log");
  writeScene(dir);
  MadePart part{"", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  part.channels = colourChannels({"R", "G", "B", "A"}, Imf::FLOAT);
  part.channels.push_back({"SpecialBuffer", Imf::FLOAT, specialOnFirstPixel()});
  writeParts(dir + "/in.0001.exr", {part});
  const std::string frame = readAll(dir + "/in.0001.exr");
  writeFile(dir + "/in.0002.exr", frame);
  writeFile(dir + "/in.0003.exr", frame.substr(0, frame.size() / 2));
  writeFile(dir + "/in.0004.exr", frame);
  // The times differ from run to run: each becomes "T". The warning about the
  // scene's missing buffer is left out.
  const auto linesOf = [](const std::string &err) {
    const std::regex seconds("[0-9]+\\.[0-9]+ (s|frames/s)");
    std::vector<std::string> lines;
    std::istringstream in(std::regex_replace(err, seconds, "T $1"));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("qxhost: warning: ", 0) != 0) lines.push_back(line);
    }
    return lines;
  };
  const std::string out = dir + "/out.####.exr";
  const auto outName = [&](int f) { return dir + "/out.000" + std::to_string(f) + ".exr"; };

  const Outcome run = qxhost(render(dir, dir + "/in.####.exr", out, "--frames 1-4 --threads 2"));
  EXPECT_EQ(run.status, 2) << run.err;
  std::vector<std::string> lines = linesOf(run.err);
  ASSERT_EQ(lines.size(), 6u) << run.err;
  EXPECT_EQ(lines[0], "qxhost: frame 1: " + outName(1) + ": rendered in T s (1 of 4)");
  EXPECT_EQ(lines[1], "qxhost: frame 2: " + outName(2) + ": rendered in T s (2 of 4)");
  EXPECT_EQ(lines[2].rfind("qxhost: " + dir + "/in.0003.exr: ", 0), 0u)
      << "the reason comes first, naming the frame: " << lines[2];
  EXPECT_EQ(lines[3], "qxhost: frame 3: " + outName(3) + ": failed after T s (3 of 4)");
  EXPECT_EQ(lines[4], "qxhost: frame 4: " + outName(4) + ": rendered in T s (4 of 4)");
  EXPECT_EQ(lines[5], "qxhost: 3 of 4 frames rendered, 1 failed, in T s (T frames/s)");

  const Outcome quiet =
      qxhost(render(dir, dir + "/in.####.exr", out, "--frames 1-4 --progress none"));
  lines = linesOf(quiet.err);
  ASSERT_EQ(lines.size(), 2u) << quiet.err;
  EXPECT_EQ(lines[0], linesOf(run.err)[2]) << "the reason stays";
  EXPECT_EQ(lines[1], "qxhost: 3 of 4 frames rendered, 1 failed, in T s (T frames/s)");

  const Outcome bar = qxhost(render(dir, dir + "/in.####.exr", out, "--frames 1-4 --progress bar"));
  EXPECT_NE(bar.err.find("\r\033[Kqxhost: frame 4 of 4, "), std::string::npos) << bar.err;
  EXPECT_EQ(bar.err.find("rendered in"), std::string::npos) << bar.err;

  const Outcome single = qxhost(render(dir, dir + "/in.0001.exr", dir + "/single.exr"));
  EXPECT_EQ(single.status, 0);
  EXPECT_EQ(linesOf(single.err), std::vector<std::string>{}) << "a single frame prints as before";
}

// A run's names are the user's files: every frame number is written whole,
// however wide the pattern, a run that would write a frame over one it has
// still to read stops before reading any, a file whose own name holds '#'
// or '%' is one frame, and a range is never listed whole.
TEST(Sequences, NamesAreNeverCutAndARunNeverWritesOverAFrameItReads) {
  const std::string dir = freshDir("story_sequence_names");
  writeScene(dir);
  MadePart part{"", box(0, 0, 3, 2), box(0, 0, 3, 2), {}, 0, Imf::Header()};
  part.channels = colourChannels({"R", "G", "B", "A"}, Imf::FLOAT);
  part.channels.push_back({"SpecialBuffer", Imf::FLOAT, specialOnFirstPixel()});
  writeParts(dir + "/frame.exr", {part});
  const std::string frame = readAll(dir + "/frame.exr");
  const std::string zeros23(23, '0');
  for (int f = 1; f <= 3; ++f) {
    writeFile(dir + "/in." + zeros23 + std::to_string(f) + ".exr", frame);
  }
  const Outcome wide = qxhost(render(dir, dir + "/in." + std::string(24, '#') + ".exr",
                                     dir + "/o.%030d.exr", "--frames 1-3"));
  EXPECT_EQ(wide.status, 0) << "24 '#' name the files of 24 digits; stderr:\n" << wide.err;
  for (int f = 1; f <= 3; ++f) {
    EXPECT_TRUE(
        std::filesystem::exists(dir + "/o." + std::string(29, '0') + std::to_string(f) + ".exr"))
        << "frame " << f << " has an output of its own";
  }
  for (const char *pattern : {"o.%033d.exr", "o.%02147483647d.exr"}) {
    const Outcome tooWide =
        qxhost(render(dir, dir + "/in.####.exr", dir + "/" + pattern, "--frames 1-3"));
    EXPECT_EQ(tooWide.status, 2) << pattern;
    EXPECT_NE(tooWide.err.find("at most 32 are allowed"), std::string::npos) << tooWide.err;
  }

  // f.01 to f.13: frame 1's output f.11 is frame 11's input.
  for (int f = 1; f <= 13; ++f) {
    writeFile(dir + "/f." + std::string(f < 10 ? "0" : "") + std::to_string(f) + ".exr", frame);
  }
  writeFile(dir + "/f.11.exr", frame + "mark");
  const Outcome over = qxhost(render(dir, dir + "/f.##.exr", dir + "/f.1#.exr", "--frames 1-13"));
  EXPECT_EQ(over.status, 2);
  EXPECT_EQ(over.err, "qxhost: render: frame 1 (" + dir + "/f.01.exr) would be written to " + dir +
                          "/f.11.exr, the input of frame 11, which the run reads; give --out "
                          "another name\n");
  EXPECT_EQ(readAll(dir + "/f.11.exr"), frame + "mark") << "refused before anything is written";
  const Outcome overTask =
      qxhost(render(dir, dir + "/f.##.exr", dir + "/f.1#.exr", "--frames 1-13 --task 2/2"));
  EXPECT_NE(overTask.err.find("frame 2 ("), std::string::npos) << "frame 2 writes frame 12's input";
  // Frames 2, 5, 8 and 11 read none of f.12, f.15, f.18 and f.111.
  const Outcome apart =
      qxhost(render(dir, dir + "/f.##.exr", dir + "/f.1#.exr", "--frames 1-13 --task 2/3"));
  EXPECT_EQ(apart.status, 0) << apart.err;
  EXPECT_TRUE(std::filesystem::exists(dir + "/f.111.exr"));

  // A file that exists is taken as it is, '#' and '%' and all.
  writeFile(dir + "/shot#1%d.exr", frame);
  const Outcome literal = qxhost(render(dir, dir + "/shot#1%d.exr", dir + "/out#%04d.exr"));
  EXPECT_EQ(literal.status, 0) << literal.err;
  EXPECT_TRUE(std::filesystem::exists(dir + "/out#%04d.exr"));

  // A billion frames: counted, not listed. The first is missing and stops
  // the run.
  const Outcome billion = qxhost(render(dir, dir + "/none.####.exr", dir + "/n.####.exr",
                                        "--frames 0-999999999 --stop-on-error"));
  EXPECT_EQ(billion.status, 2);
  EXPECT_NE(billion.err.find("0 of 1000000000 frames rendered, 1 failed, 999999999 not run"),
            std::string::npos)
      << billion.err;
}

} // namespace
