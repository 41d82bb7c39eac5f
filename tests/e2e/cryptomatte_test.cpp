// Object ids of real renders: a frame of two overlapping discs before a sky,
// named through a Cryptomatte layer whose coverage is worked out here, with
// its ranks out of order and names as renderers write them. From the frame
// to a recoloured object: ids, scene --from, render --cryptomatte.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfInputFile.h>
#include <ImfStringAttribute.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_files.h"
#include "exr_make.h"
#include "frames/frame.h"
#include "frames/image_io.h"
#include "qxhost_run.h"
#include "scene/cryptomatte.h"

namespace {

using namespace e2e;

constexpr int kWidth = 48, kHeight = 32;

// The objects: a disc behind, a disc in front, the sky; and one id in the
// pixels that the manifest leaves out.
const std::string kBack = "bunny \"big\", v2/  "; // a quote, a comma, a slash, trailing spaces
const std::string kFront = "T\xc3\xab"
                           "apot"; // non-ASCII
const std::string kSky = "sky";
const std::string kStray = "stray";

float idOf(const std::string &name) { return qx::cryptomatteFloat(qx::cryptomatteHash(name)); }

// Each pixel's coverage by object, from 8 x 8 samples: the front disc hides
// the back one, the sky takes the rest.
struct Coverage {
  double back = 0, front = 0, sky = 0;
};
Coverage coverageAt(int x, int y) {
  Coverage c;
  for (int i = 0; i < 64; ++i) {
    const double sx = x + (i % 8 + 0.5) / 8.0, sy = y + (i / 8 + 0.5) / 8.0;
    const auto inside = [&](double cx, double r) {
      return (sx - cx) * (sx - cx) + (sy - 16.0) * (sy - 16.0) < r * r;
    };
    (inside(29.0, 9.5) ? c.front : inside(18.0, 10.5) ? c.back : c.sky) += 1.0 / 64.0;
  }
  return c;
}

struct Made {
  std::map<std::string, double> coverage; // summed over the frame
  std::vector<Coverage> pixels;
};

// The frame: colour, and the layer in two rank groups (four ranks, the last
// empty). Where two objects share a pixel the smaller coverage goes first,
// and the sky sits in rank 2 or rank 0 by turns, so that no reader may take
// rank 0 for the most coverage. Pixel (0, 0) holds the stray id.
Made writeFrame(const std::string &path, const std::string &manifestAttribute,
                const std::string &manifestText) {
  Made made;
  std::vector<double> r, g, b, a, ranks[8];
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const Coverage c = coverageAt(x, y);
      made.pixels.push_back(c);
      r.push_back(0.2 + 0.01 * x);
      g.push_back(0.3);
      b.push_back(0.4 + 0.005 * y);
      a.push_back(1.0);
      std::vector<std::pair<std::string, double>> pairs;
      if (c.back > 0) pairs.push_back({kBack, c.back});
      if (c.front > 0) pairs.push_back({kFront, c.front});
      std::sort(pairs.begin(), pairs.end(),
                [](const auto &p, const auto &q) { return p.second < q.second; });
      if (x == 0 && y == 0)
        pairs = {{kStray, 1.0}};
      else if (c.sky > 0)
        pairs.insert((x + y) % 2 == 0 ? pairs.begin() : pairs.end(), {kSky, c.sky});
      for (int k = 0; k < 4; ++k) {
        const bool held = k < static_cast<int>(pairs.size());
        float id = held ? idOf(pairs[static_cast<std::size_t>(k)].first) : 0.0f;
        ranks[2 * k].push_back(static_cast<double>(id));
        ranks[2 * k + 1].push_back(held ? pairs[static_cast<std::size_t>(k)].second : 0.0);
        if (held)
          made.coverage[pairs[static_cast<std::size_t>(k)].first] +=
              pairs[static_cast<std::size_t>(k)].second;
      }
    }
  }
  MadePart part{
      "",           box(0, 0, kWidth - 1, kHeight - 1), box(0, 0, kWidth - 1, kHeight - 1), {}, 0,
      Imf::Header()};
  part.channels = {
      {"R", Imf::FLOAT, r}, {"G", Imf::FLOAT, g}, {"B", Imf::FLOAT, b}, {"A", Imf::FLOAT, a}};
  const char *rgba[] = {"R", "G", "B", "A"};
  for (int k = 0; k < 8; ++k) {
    part.channels.push_back({"CryptoObject0" + std::to_string(k / 4) + "." + rgba[k % 4],
                             Imf::FLOAT, ranks[(k / 4) * 4 + k % 4]});
  }
  part.extra.insert("cryptomatte/f834d0a/name", Imf::StringAttribute("CryptoObject"));
  part.extra.insert("cryptomatte/f834d0a/hash", Imf::StringAttribute("MurmurHash3_32"));
  part.extra.insert("cryptomatte/f834d0a/conversion", Imf::StringAttribute("uint32_to_float32"));
  part.extra.insert("cryptomatte/f834d0a/" + manifestAttribute, Imf::StringAttribute(manifestText));
  writeParts(path, {part});
  return made;
}

std::string manifestOf(const std::vector<std::string> &names) {
  nlohmann::ordered_json manifest = nlohmann::ordered_json::object();
  for (const std::string &name : names) manifest[name] = qx::hashText(qx::cryptomatteHash(name));
  return manifest.dump();
}

std::vector<float> channel(const std::string &path, const std::string &name) {
  Imf::InputFile file(path.c_str());
  std::vector<float> plane(kWidth * kHeight);
  Imf::FrameBuffer slices;
  slices.insert(name, Imf::Slice::Make(Imf::FLOAT, plane.data(), file.header().dataWindow()));
  file.setFrameBuffer(slices);
  file.readPixels(0, kHeight - 1);
  return plane;
}

// The README's picture of one edge: the back disc's left edge, magnified,
// as the exact path gives it with each pixel's id of most coverage as its
// special buffer (left), and as the soft path gives it (right). Written to
// the build folder's pictures/soft-edges.png.
void writeEdgePicture(const std::string &dir, const Made &made) {
  MadePart hard{
      "",           box(0, 0, kWidth - 1, kHeight - 1), box(0, 0, kWidth - 1, kHeight - 1), {}, 0,
      Imf::Header()};
  for (const char *name : {"R", "G", "B", "A"}) {
    const std::vector<float> plane = channel(dir + "/frame.exr", name);
    hard.channels.push_back({name, Imf::FLOAT, std::vector<double>(plane.begin(), plane.end())});
  }
  std::vector<double> most(kWidth * kHeight, 0.0);
  for (std::size_t i = 0; i < most.size(); ++i) {
    const Coverage &c = made.pixels[i];
    const double top = std::max({c.back, c.front, c.sky});
    most[i] = static_cast<double>(idOf(top == c.back ? kBack : top == c.front ? kFront : kSky));
  }
  hard.channels.push_back({"SpecialBuffer", Imf::FLOAT, most});
  writeParts(dir + "/hard-in.exr", {hard});
  ASSERT_EQ(qxhost("render --scene scene.json --frame hard-in.exr --out hard.exr", dir).status, 0);

  constexpr int kZoom = 12, kSide = 16, kGap = 6, kLeft = 4, kTop = 8;
  qx::Frame picture(2 * kSide * kZoom + kGap, kSide * kZoom);
  for (int c = 0; c < 4; ++c) {
    float *to = picture.mutablePlane(32 + c);
    std::fill(to, to + picture.pixelCount(), c == 3 ? 0.0f : 1.0f);
  }
  const char *names[] = {"R", "G", "B", "A"};
  for (int side = 0; side < 2; ++side) {
    for (int c = 0; c < 4; ++c) {
      const std::vector<float> plane =
          channel(dir + (side == 0 ? "/hard.exr" : "/soft.exr"), names[c]);
      float *to = picture.mutablePlane(32 + c);
      for (int y = 0; y < kSide * kZoom; ++y) {
        for (int x = 0; x < kSide * kZoom; ++x) {
          const int fx = kLeft + x / kZoom, fy = kTop + y / kZoom;
          to[static_cast<std::size_t>(y) * picture.width() + side * (kSide * kZoom + kGap) + x] =
              plane[static_cast<std::size_t>(fy) * kWidth + fx];
        }
      }
    }
  }
  std::filesystem::create_directories(QX_BINARY_DIR "/pictures");
  qx::writePng(QX_BINARY_DIR "/pictures/soft-edges.png", picture, qx::PngTransfer::Srgb);
}

TEST(ObjectIds, IdsListsEveryNameWithItsExactValueAndCoverageFromTheHeaderOrASidecar) {
  const std::string dir = freshDir("ids");
  const Made made = writeFrame(dir + "/frame.exr", "manifest", manifestOf({kSky, kBack, kFront}));
  const Outcome run = qxhost("ids frame.exr --json", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json listing = nlohmann::json::parse(run.out);
  ASSERT_EQ(listing["layers"].size(), 1u);
  const nlohmann::json &layer = listing["layers"][0];
  EXPECT_EQ(layer["name"], "CryptoObject");
  EXPECT_EQ(layer["key"], "f834d0a");
  EXPECT_EQ(layer["ranks"], 4);
  std::map<std::string, nlohmann::json> byName;
  for (const nlohmann::json &id : layer["ids"]) {
    byName[id["name"].is_null() ? "(none)" : id["name"].get<std::string>()] = id;
  }
  ASSERT_EQ(byName.size(), 4u) << layer.dump(2);
  for (const std::string &name : {kSky, kBack, kFront}) {
    const nlohmann::json &id = byName[name];
    EXPECT_EQ(id["hash"], qx::hashText(qx::cryptomatteHash(name))) << name;
    EXPECT_EQ(id["value"].get<double>(), static_cast<double>(idOf(name)))
        << name << ": the value reads back as the id's float exactly";
    EXPECT_NEAR(id["coverage"].get<double>(), made.coverage.at(name), 1e-3) << name;
  }
  EXPECT_EQ(byName["(none)"]["hash"], qx::hashText(qx::cryptomatteHash(kStray)))
      << "an id of the pixels that the manifest lacks is listed without a name";

  // The same manifest beside the frame, named by the header.
  writeFile(dir + "/objects.json", manifestOf({kSky, kBack, kFront}));
  writeFrame(dir + "/sidecar.exr", "manif_file", "objects.json");
  const Outcome sidecar = qxhost("ids sidecar.exr --cryptomatte CryptoObject", dir);
  ASSERT_EQ(sidecar.status, 0) << sidecar.err;
  EXPECT_NE(sidecar.out.find(kFront), std::string::npos) << sidecar.out;
  EXPECT_NE(sidecar.out.find(qx::exactText(static_cast<double>(idOf(kFront)))), std::string::npos);

  // A manifest of more objects than the panel lists: a scene of them names,
  // once, the surfaces whose stacks the panel cannot reach.
  std::vector<std::string> many = {kSky, kBack, kFront};
  for (int i = 0; i < 297; ++i) many.push_back("prop" + std::to_string(1000 + i));
  writeFrame(dir + "/many.exr", "manifest", manifestOf(many));
  const Outcome crowded =
      qxhost("scene --from many.exr --cryptomatte CryptoObject --out many.json", dir);
  ASSERT_EQ(crowded.status, 0) << crowded.err;
  EXPECT_NE(crowded.err.find("the stacks of 44 surfaces cannot be reached there"),
            std::string::npos)
      << crowded.err;
  EXPECT_NE(crowded.err.find("prop1296"), std::string::npos) << "the last by name";
  EXPECT_EQ(crowded.err.find(kBack), std::string::npos) << "an object with coverage comes first";

  const Outcome missing = qxhost("ids frame.exr --cryptomatte CryptoMaterial", dir);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("no Cryptomatte layer \"CryptoMaterial\"; the file has CryptoObject"),
            std::string::npos)
      << missing.err;
}

TEST(ObjectIds, ASceneFromTheRenderRecoloursAnObjectWithSoftEdgesThatMixByCoverage) {
  const std::string dir = freshDir("soft_edges");
  const Made made = writeFrame(dir + "/frame.exr", "manifest", manifestOf({kSky, kBack, kFront}));
  const Outcome made_scene =
      qxhost("scene --from frame.exr --cryptomatte CryptoObject --out scene.json", dir);
  ASSERT_EQ(made_scene.status, 0) << made_scene.err;
  nlohmann::json scene = nlohmann::json::parse(readAll(dir + "/scene.json"));
  ASSERT_EQ(scene["surfaces"].size(), 3u);
  EXPECT_EQ(scene["surfaces"][0]["name"], kSky) << "most coverage first";
  const nlohmann::json &back =
      scene["surfaces"][made.coverage.at(kBack) > made.coverage.at(kFront) ? 1 : 2];
  ASSERT_EQ(back["name"], kBack);
  EXPECT_EQ(back["SpecialBuffer1"].get<double>(), static_cast<double>(idOf(kBack)));
  EXPECT_NEAR(back["BaseColor"][1].get<double>(), 0.3, 1e-6) << "the object's mean colour";
  EXPECT_EQ(
      qxhost("scene --from frame.exr --cryptomatte CryptoObject --out scene.json", dir).status, 2)
      << "an existing scene needs --force";

  // A stack on the back disc: white added at half strength (through the
  // inverted Depth, which the frame lacks).
  scene["filter"]["state"] = {"-3 1 1", qx::exactText(back["SpecialBuffer1"].get<double>()) + " 1 ",
                              "0 1 255 255 255 50.000000 1 12 1 0 100.000000 0"};
  writeFile(dir + "/scene.json", scene.dump(2));
  const Outcome soft = qxhost(
      "render --scene scene.json --frame frame.exr --out soft.exr --cryptomatte CryptoObject", dir);
  ASSERT_EQ(soft.status, 0) << soft.err;

  // The exact path on every pixel as the back disc, for F(back).
  MadePart all{
      "",           box(0, 0, kWidth - 1, kHeight - 1), box(0, 0, kWidth - 1, kHeight - 1), {}, 0,
      Imf::Header()};
  for (const char *name : {"R", "G", "B", "A"}) {
    const std::vector<float> plane = channel(dir + "/frame.exr", name);
    all.channels.push_back({name, Imf::FLOAT, std::vector<double>(plane.begin(), plane.end())});
  }
  all.channels.push_back({"SpecialBuffer", Imf::FLOAT,
                          std::vector<double>(kWidth * kHeight, static_cast<double>(idOf(kBack)))});
  writeParts(dir + "/exact-in.exr", {all});
  ASSERT_EQ(qxhost("render --scene scene.json --frame exact-in.exr --out exact.exr", dir).status,
            0);

  int whole = 0, edge = 0;
  for (const char *name : {"R", "G", "B", "A"}) {
    const std::vector<float> p = channel(dir + "/frame.exr", name);
    const std::vector<float> f = channel(dir + "/exact.exr", name);
    const std::vector<float> out = channel(dir + "/soft.exr", name);
    for (std::size_t i = 0; i < p.size(); ++i) {
      const double coverage = i == 0 ? 0.0 : made.pixels[i].back;
      if (coverage == 1.0) {
        ++whole;
        ASSERT_EQ(std::memcmp(&out[i], &f[i], 4), 0) << name << " " << i << ": covered whole";
      } else if (coverage == 0.0) {
        ASSERT_EQ(std::memcmp(&out[i], &p[i], 4), 0) << name << " " << i << ": no stack covers it";
      } else {
        ++edge;
        const double expected = p[i] + coverage * (static_cast<double>(f[i]) - p[i]);
        ASSERT_NEAR(out[i], expected, 1e-6) << name << " " << i << " at coverage " << coverage;
      }
    }
  }
  EXPECT_GT(whole, 4 * 100);
  EXPECT_GT(edge, 4 * 20);
  writeEdgePicture(dir, made);

  ASSERT_EQ(qxhost("render --scene scene.json --frame frame.exr --out half.exr "
                   "--cryptomatte CryptoObject --half",
                   dir)
                .status,
            0);
  Imf::InputFile written((dir + "/half.exr").c_str());
  EXPECT_EQ(written.header().channels().findChannel("CryptoObject00.R")->type, Imf::FLOAT)
      << "--half keeps the ids float";
  EXPECT_EQ(written.header().channels().findChannel("R")->type, Imf::HALF);
  EXPECT_EQ(channel(dir + "/half.exr", "CryptoObject01.G"),
            channel(dir + "/frame.exr", "CryptoObject01.G"))
      << "the ranks pass through";

  // A stack for an object the frame's manifest names but no pixel holds
  // (renamed since): the run says so, with the object's name.
  const std::string old = "bunny v1";
  writeFrame(dir + "/renamed.exr", "manifest", manifestOf({kSky, kBack, kFront, old}));
  scene["filter"]["state"][1] = qx::exactText(static_cast<double>(idOf(old))) + " 1 ";
  writeFile(dir + "/old.json", scene.dump(2));
  const Outcome renamed = qxhost("render --scene old.json --frame renamed.exr --out r.exr "
                                 "--cryptomatte CryptoObject",
                                 dir);
  ASSERT_EQ(renamed.status, 0) << renamed.err;
  EXPECT_NE(renamed.err.find("(\"bunny v1\") matched no pixel"), std::string::npos) << renamed.err;
  EXPECT_EQ(soft.err.find("matched no pixel"), std::string::npos) << soft.err;
}

} // namespace
