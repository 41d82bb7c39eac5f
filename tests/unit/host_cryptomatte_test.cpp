// Cryptomatte names: the host's hash against Debian's MurmurHash library,
// the standard's exponent rule, and manifests and layers as renderers
// write them.
#include <gtest/gtest.h>

#include <murmurhash.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "scene/cryptomatte.h"

namespace {

std::uint32_t reference(const std::string &bytes) {
  std::uint32_t out[1];
  lmmh_x86_32(bytes.data(), static_cast<unsigned int>(bytes.size()), 0, out);
  return out[0];
}

TEST(CryptomatteNames, TheHashIsMurmurHash3OverEveryLengthAndByteWithTheExponentRule) {
  std::vector<std::string> names = {"",
                                    "a",
                                    "ab",
                                    "abc",
                                    "abcd",
                                    "abcde",
                                    "bunny",
                                    "Cube.001",
                                    "/obj/geo/sphere1",
                                    "quote\"d, and/slashed  ",
                                    "Müller's Ölfass",
                                    "日本語のオブジェクト",
                                    std::string(1000, 'x')};
  std::mt19937 random(3);
  for (int i = 0; i < 2000; ++i) { // every tail length, every byte value
    std::string bytes(static_cast<std::size_t>(random() % 40), '\0');
    for (char &c : bytes) c = static_cast<char>(random() & 0xff);
    names.push_back(bytes);
  }
  int flipped = 0;
  for (const std::string &name : names) {
    const std::uint32_t raw = reference(name);
    ASSERT_EQ(qx::murmurHash3x86(name.data(), name.size()), raw) << "name of " << name.size();
    const std::uint32_t exponent = (raw >> 23) & 0xff;
    const std::uint32_t id = qx::cryptomatteHash(name);
    if (exponent == 0 || exponent == 255) {
      ++flipped;
      EXPECT_EQ(id, raw ^ (1u << 23));
    } else {
      EXPECT_EQ(id, raw);
    }
    const float value = qx::cryptomatteFloat(id);
    EXPECT_TRUE(std::isnormal(value)) << qx::hashText(id);
  }
  EXPECT_GT(flipped, 0) << "no name met the exponent rule; the sample is too small";
}

TEST(CryptomatteNames, AnIdsExactTextReadsBackAsTheSameDouble) {
  EXPECT_EQ(qx::exactText(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(qx::exactText(2.0), "2.0");
  for (int i = 0; i < 10000; ++i) { // ids, as names make them
    const double value = static_cast<double>(
        qx::cryptomatteFloat(qx::cryptomatteHash("object" + std::to_string(i))));
    const std::string text = qx::exactText(value);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
}

TEST(CryptomatteLayers, RanksManifestsAndDisagreeingIdsAreReadAsTheRendererWroteThem) {
  qx::CryptomattePartInfo beauty, objects;
  beauty.channels = {"R", "G", "B", "A"};
  objects.channels = {"CryptoObject.R",   "CryptoObject00.R", "CryptoObject00.G",
                      "CryptoObject00.B", "CryptoObject00.A", "CryptoObject01.R",
                      "CryptoObject01.G", "CryptoObject01.B", "CryptoObject01.A",
                      "CryptoObject02.R"}; // an incomplete group ends the ranks
  const std::string wrong = qx::hashText(qx::cryptomatteHash("bunny") ^ 1u);
  objects.attributes = {
      {"cryptomatte/a1b2c3d/name", "CryptoObject"},
      {"cryptomatte/a1b2c3d/hash", "MurmurHash3_32"},
      {"cryptomatte/a1b2c3d/manifest", R"({"zebra": ")" +
                                           qx::hashText(qx::cryptomatteHash("zebra")) +
                                           R"(", "bunny": ")" + wrong + R"("})"},
  };
  std::vector<std::string> warnings;
  const std::vector<qx::CryptomatteLayer> layers = qx::cryptomatteLayers(
      {beauty, objects}, "f.exr", ".", [&](const std::string &w) { warnings.push_back(w); });
  ASSERT_EQ(layers.size(), 1u);
  const qx::CryptomatteLayer &layer = layers[0];
  EXPECT_EQ(layer.part, 1);
  EXPECT_EQ(layer.ranks(), 4);
  ASSERT_EQ(layer.manifest.size(), 2u);
  EXPECT_EQ(layer.manifest[0].name, "zebra") << "the manifest keeps its order";
  EXPECT_EQ(qx::hashText(layer.manifest[1].hash), wrong) << "the manifest wins";
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("\"bunny\""), std::string::npos) << warnings[0];

  try {
    qx::findCryptomatteLayer(layers, "CryptoMaterial", "f.exr");
    FAIL() << "a missing layer was found";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()),
              "f.exr: no Cryptomatte layer \"CryptoMaterial\"; the file has CryptoObject");
  }
  EXPECT_EQ(&qx::findCryptomatteLayer(layers, "", "f.exr"), &layer) << "the only layer";
}

} // namespace
