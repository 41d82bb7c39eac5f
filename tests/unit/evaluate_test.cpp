// The per-pixel evaluation through a pixel-access record of the test's own,
// and the buffer requirements it relies on.
#include <gtest/gtest.h>

#include <stdint.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "effect.h"
#include "layers.h"
#include "module.h"

namespace {

constexpr float kTol = 1e-5f;

// One pixel as the host shows it: buffer values by host buffer number, every
// read recorded as (first buffer, count), and the written colour.
class Pixel {
public:
  explicit Pixel(float special) {
    access_.x = access_.y = 0;
    access_.getVal = GetVal;
    access_.setRGBA = SetRGBA;
    access_.hostData = this;
    values_[HOST_BUF_SPECIAL] = special;
    SetColour(0.2f, 0.4f, 0.6f, 1.0f);
  }
  Pixel(const Pixel &) = delete;

  void Set(int buffer, float value) { values_[buffer] = value; }
  void SetColour(float r, float g, float b, float a) {
    Set(HOST_BUF_RED, r);
    Set(HOST_BUF_GREEN, g);
    Set(HOST_BUF_BLUE, b);
    Set(HOST_BUF_ALPHA, a);
  }
  const HostPixelAccess *Access() const { return &access_; }

  // How many reads covered a buffer.
  int Reads(int buffer) const {
    int count = 0;
    for (const auto &read : reads_) {
      if (buffer >= read.first && buffer < read.first + read.second) ++count;
    }
    return count;
  }
  // The host buffer numbers read, in reading order, as text: "0 32+4 10".
  std::string ReadLog() const {
    std::string log;
    for (const auto &read : reads_) {
      if (!log.empty()) log += ' ';
      log += std::to_string(read.first);
      if (read.second != 1) log += '+' + std::to_string(read.second);
    }
    return log;
  }
  int writes = 0;
  float out[4] = {};

private:
  static Pixel *Of(const HostPixelAccess *access) { return static_cast<Pixel *>(access->hostData); }
  static void GetVal(const HostPixelAccess *access, int buffer, int count, float *out) {
    Pixel *pixel = Of(access);
    pixel->reads_.emplace_back(buffer, count);
    for (int k = 0; k < count; ++k) {
      auto found = pixel->values_.find(buffer + k);
      out[k] = found == pixel->values_.end() ? 0.0f : found->second;
    }
  }
  static void SetRGBA(const HostPixelAccess *access, const float rgba[4]) {
    Pixel *pixel = Of(access);
    ++pixel->writes;
    for (int c = 0; c < 4; ++c) pixel->out[c] = rgba[c];
  }

  HostPixelAccess access_{};
  std::map<int, float> values_;
  std::vector<std::pair<int, int>> reads_;
};

// A filter instance over entries the test fills; it frees their layers.
class Scene {
public:
  explicit Scene(int32_t count) : entries_(static_cast<size_t>(count)) {
    instance_.entryCount = count;
    instance_.entries = entries_.data();
  }
  ~Scene() {
    for (SBEntry &entry : entries_) DelAllLayer(&entry);
  }
  Scene(const Scene &) = delete;

  SBEntry &Entry(int32_t n, double value, int16_t on = 1) {
    SBEntry &entry = entries_[static_cast<size_t>(n)];
    entry.value = value;
    entry.on = on;
    return entry;
  }
  // Puts a new layer on top of an entry's stack, so that it is applied last.
  static Layer *Top(SBEntry &entry, int32_t mode, uint8_t grey = 255) {
    Layer *layer = AddLayer(&entry, 0);
    EXPECT_NE(layer, nullptr) << "no memory for a test layer";
    layer->mode = mode;
    layer->color[0] = layer->color[1] = layer->color[2] = grey;
    return layer;
  }
  void Evaluate(const Pixel &pixel) { QXEvaluate(&instance_, pixel.Access()); }
  unsigned int Flags() { return QXFlags(&instance_); }

private:
  FilterInstance instance_{};
  std::vector<SBEntry> entries_;
};

::testing::AssertionResult Wrote(const Pixel &pixel, float r, float g, float b, float a) {
  if (pixel.writes != 1) {
    return ::testing::AssertionFailure() << "expected one write of the pixel, got " << pixel.writes
                                         << " (reads: " << pixel.ReadLog() << ")";
  }
  const float want[4] = {r, g, b, a};
  for (int c = 0; c < 4; ++c) {
    if (!(std::fabs(pixel.out[c] - want[c]) <= kTol)) {
      char text[160];
      snprintf(text, sizeof text, "expected RGBA (%g, %g, %g, %g), got (%g, %g, %g, %g)", r, g, b,
               a, pixel.out[0], pixel.out[1], pixel.out[2], pixel.out[3]);
      return ::testing::AssertionFailure() << text;
    }
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Finding the entry

TEST(Evaluation, PixelWithoutAUsableEntryIsNeitherWrittenNorReadFurther) {
  Scene scene(3);
  Scene::Top(scene.Entry(0, 2.0, 0), MODE_ADD); // switched off
  scene.Entry(1, 3.0);                          // empty
  Scene::Top(scene.Entry(2, 4.0), MODE_ADD);
  for (float value : {2.0f, 3.0f, 5.0f}) {
    Pixel pixel(value);
    scene.Evaluate(pixel);
    EXPECT_EQ(pixel.writes, 0) << "pixel of value " << value << " was written";
    EXPECT_EQ(pixel.ReadLog(), "0") << "reads for the pixel of value " << value;
  }
}

TEST(Evaluation, ValuesMatchOnlyWhenTheFloatWidenedEqualsTheEntryExactly) {
  Scene scene(3);
  Scene::Top(scene.Entry(0, 0.1), MODE_ADD);
  Scene::Top(scene.Entry(1, 2.0), MODE_ADD);
  Scene::Top(scene.Entry(2, static_cast<double>(0.3f)), MODE_ADD);

  Pixel tenth(0.1f);
  scene.Evaluate(tenth);
  EXPECT_EQ(tenth.writes, 0) << "a pixel of 0.1f matched the entry 0.1";
  Pixel two(2.0f);
  scene.Evaluate(two);
  EXPECT_TRUE(Wrote(two, 1.2f, 1.4f, 1.6f, 1.0f)) << "pixel 2.0 with entry 2.0";
  Pixel third(0.3f);
  scene.Evaluate(third);
  EXPECT_TRUE(Wrote(third, 1.2f, 1.4f, 1.6f, 1.0f)) << "pixel 0.3f with entry (double)0.3f";
}

TEST(Evaluation, FirstUsableEntryWinsAmongEntriesOfTheSameValue) {
  Scene scene(3);
  Scene::Top(scene.Entry(0, 2.0, 0), MODE_SCREEN);  // off: ignored
  Scene::Top(scene.Entry(1, 2.0), MODE_ADD);        // applied
  Scene::Top(scene.Entry(2, 2.0), MODE_DIFFERENCE); // never reached
  Pixel pixel(2.0f);
  scene.Evaluate(pixel);
  EXPECT_TRUE(Wrote(pixel, 1.2f, 1.4f, 1.6f, 1.0f)) << "expected the Add of entry 1";
}

// ---------------------------------------------------------------------------
// Applying the stack

TEST(Evaluation, LayersApplyFromTheLastToTheTopOfTheStack) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Scene::Top(entry, MODE_ADD);        // position 1: first
  Scene::Top(entry, MODE_DIFFERENCE); // position 0: last
  // Add white then Difference white: |P + 1 - 1| = P. The other way round
  // would give 1 - P + 1.
  Pixel pixel(1.0f);
  scene.Evaluate(pixel);
  EXPECT_TRUE(Wrote(pixel, 0.2f, 0.4f, 0.6f, 1.0f)) << "Add at position 1 then Difference at 0";
}

TEST(Evaluation, InactiveLayersAreSkippedAndAllInactiveWritesTheColourBack) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Scene::Top(entry, MODE_ADD);
  Layer *difference = Scene::Top(entry, MODE_DIFFERENCE);
  difference->active = 0;
  Pixel one(1.0f);
  scene.Evaluate(one);
  EXPECT_TRUE(Wrote(one, 1.2f, 1.4f, 1.6f, 1.0f)) << "Add with the Difference above it inactive";

  entry.head->next->active = 0;
  Pixel none(1.0f);
  none.SetColour(0.3f, 0.5f, 0.7f, 0.9f);
  scene.Evaluate(none);
  EXPECT_TRUE(Wrote(none, 0.3f, 0.5f, 0.7f, 0.9f)) << "all layers inactive";
}

TEST(Evaluation, ShadowLayerIsSkippedWhereTheShadowValueIsExactlyZero) {
  Scene scene(1);
  Layer *layer = Scene::Top(scene.Entry(0, 1.0), MODE_ADD);
  layer->type = LAYER_SHADOW;
  for (float shadow : {0.0f, -0.0f, 0.5f, 1e-30f}) {
    Pixel pixel(1.0f);
    pixel.Set(HOST_BUF_SHADOW, shadow);
    scene.Evaluate(pixel);
    const float add = shadow == 0.0f ? 0.0f : 1.0f;
    EXPECT_TRUE(Wrote(pixel, 0.2f + add, 0.4f + add, 0.6f + add, 1.0f)) << "shadow " << shadow;
  }
}

TEST(Evaluation, NegativeChannelsAreRaisedToZeroBetweenLayersButWrittenAsTheyCome) {
  // Sub white at 200%: F = 0, W = -P.
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Scene::Top(entry, MODE_SUB)->intensity = 200;
  Pixel last(1.0f);
  last.SetColour(0.2f, 0.4f, 0.6f, -0.5f);
  scene.Evaluate(last);
  EXPECT_TRUE(Wrote(last, -0.2f, -0.4f, -0.6f, -0.5f)) << "Sub at 200% as the only layer";

  // Add black passes its starting colour on: the clamped zero.
  Scene::Top(entry, MODE_ADD, 0);
  Pixel followed(1.0f);
  followed.SetColour(0.2f, 0.4f, 0.6f, -0.5f);
  scene.Evaluate(followed);
  EXPECT_TRUE(Wrote(followed, 0.0f, 0.0f, 0.0f, 0.0f)) << "Sub at 200% followed by Add black";
}

TEST(Evaluation, AlphaGoesOutAsItCameInWhateverTheLayers) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Scene::Top(entry, MODE_SCREEN);
  Scene::Top(entry, MODE_AMBIENT);
  Pixel pixel(1.0f);
  pixel.SetColour(0.2f, 0.4f, 0.6f, 0.7f);
  pixel.Set(HOST_BUF_DIFFUSE, 1.0f);
  pixel.Set(HOST_BUF_SURF_RED, 0.5f);
  scene.Evaluate(pixel);
  EXPECT_TRUE(Wrote(pixel, 1.5f, 1.0f, 1.0f, 0.7f)) << "Screen white then AmbientLight";
}

TEST(Evaluation, AmbientLightTakesEachValueFromItsOwnBuffer) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Scene::Top(entry, MODE_AMBIENT);
  Pixel pixel(1.0f);
  pixel.SetColour(0, 0, 0, 1);
  pixel.Set(HOST_BUF_SURF_RED, 0.4f);
  pixel.Set(HOST_BUF_SURF_GREEN, 0.2f);
  pixel.Set(HOST_BUF_SURF_BLUE, 0.1f);
  pixel.Set(HOST_BUF_DIFFUSE, 0.8f);
  pixel.Set(HOST_BUF_TRANSPARENCY, 0.25f);
  pixel.Set(HOST_BUF_LUMINOUS, 0.5f);
  pixel.Set(HOST_BUF_SPECULAR_SHADE, 0.2f);
  // 0.8 * 0.75 * 0.5 * 0.8 = 0.24 of S.
  scene.Evaluate(pixel);
  EXPECT_TRUE(Wrote(pixel, 0.096f, 0.048f, 0.024f, 1.0f)) << "AmbientLight Surface layer";

  // A "Shadow" layer: shadow 0.5, without S and the specular shade: 0.15.
  entry.head->type = LAYER_SHADOW;
  Pixel shaded(1.0f);
  shaded.SetColour(0, 0, 0, 1);
  shaded.Set(HOST_BUF_DIFFUSE, 0.8f);
  shaded.Set(HOST_BUF_TRANSPARENCY, 0.25f);
  shaded.Set(HOST_BUF_LUMINOUS, 0.5f);
  shaded.Set(HOST_BUF_SPECULAR_SHADE, 0.9f);
  shaded.Set(HOST_BUF_SHADOW, 0.5f);
  scene.Evaluate(shaded);
  EXPECT_TRUE(Wrote(shaded, 0.15f, 0.15f, 0.15f, 1.0f)) << "AmbientLight Shadow layer";
}

// ---------------------------------------------------------------------------
// Which buffers are read

std::string ReadsFor(Scene &scene) {
  Pixel pixel(1.0f);
  scene.Evaluate(pixel);
  return pixel.ReadLog();
}

TEST(EvaluationReads, LayersOfOtherModesReadTheirInputAndAlphaBuffers) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Layer *layer = Scene::Top(entry, MODE_MULTIPLY);
  layer->inBuffer = BUF_DEPTH;
  layer->alphaBuffer = BUF_DIFFUSE_SHADE;
  EXPECT_EQ(ReadsFor(scene), "0 32+4 12 13") << "Multiply on Depth with alpha Diffuse Shade";

  layer->inBuffer = BUF_ALPHA;
  layer->alphaBuffer = BUF_NONE;
  EXPECT_EQ(ReadsFor(scene), "0 32+4 35") << "Multiply on Alpha, alpha None";

  Layer *second = Scene::Top(entry, MODE_ADD); // "None" twice: nothing to read
  EXPECT_EQ(ReadsFor(scene), "0 32+4 35") << "with an Add on None above it";
  second->inBuffer = second->alphaBuffer = BUF_ALPHA;
  EXPECT_EQ(ReadsFor(scene), "0 32+4 35 35 35") << "each applied layer reads its own";
}

TEST(EvaluationReads, AmbientLightReadsItsSevenBuffersAndNeverItsInputOrAlpha) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Layer *layer = Scene::Top(entry, MODE_AMBIENT);
  layer->inBuffer = BUF_DEPTH;
  layer->alphaBuffer = BUF_GEOMETRY;
  EXPECT_EQ(ReadsFor(scene), "0 32+4 6 7 8 1 2 14 5") << "one AmbientLight layer";
  // An inactive AmbientLight layer still has its buffers read.
  layer->active = 0;
  EXPECT_EQ(ReadsFor(scene), "0 32+4 6 7 8 1 2 14 5") << "one inactive AmbientLight layer";
}

TEST(EvaluationReads, ShadowValueIsReadOnlyForAStackWithAShadowLayer) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  Layer *add = Scene::Top(entry, MODE_ADD);
  add->inBuffer = BUF_DEPTH;
  EXPECT_EQ(ReadsFor(scene), "0 32+4 12") << "a Surface layer";
  add->type = LAYER_SHADOW;
  // The shadow value reads 0.0 here, so the layer is skipped with its buffer.
  EXPECT_EQ(ReadsFor(scene), "0 32+4 10") << "a Shadow layer where the shadow is 0.0";
}

TEST(EvaluationReads, InactiveLayersReadNoBuffers) {
  Scene scene(1);
  Layer *add = Scene::Top(scene.Entry(0, 1.0), MODE_ADD);
  add->inBuffer = BUF_DEPTH;
  add->alphaBuffer = BUF_SHADING;
  add->active = 0;
  EXPECT_EQ(ReadsFor(scene), "0 32+4") << "an inactive Add on Depth and Shading";
}

TEST(EvaluationReads, BufferIndexOutsideTheTableReadsAsNoneWithoutARead) {
  // Add white gives P + u, u being the input weight times the alpha weight.
  for (int32_t index : {13, -1, INT32_MAX, INT32_MIN}) {
    Scene scene(1);
    Layer *layer = Scene::Top(scene.Entry(0, 1.0), MODE_ADD);
    layer->inBuffer = index;
    layer->alphaBuffer = index;
    layer->alphaIntensity = 50;
    Pixel pixel(1.0f);
    scene.Evaluate(pixel);
    EXPECT_EQ(pixel.ReadLog(), "0 32+4") << "buffer index " << index;
    EXPECT_TRUE(Wrote(pixel, 0.7f, 0.9f, 1.1f, 1.0f)) << "buffer index " << index << " as None";
  }
}

// ---------------------------------------------------------------------------
// QXFlags

TEST(BufferRequirements, NoLayersAskForTheSpecialBufferOnly) {
  Scene none(0);
  EXPECT_EQ(none.Flags(), 1u) << "no entries";
  Scene empty(2);
  empty.Entry(0, 1.0);
  empty.Entry(1, 2.0, 0);
  EXPECT_EQ(empty.Flags(), 1u) << "entries without layers";
}

TEST(BufferRequirements, AmbientLightAsksForItsSevenBuffersEvenOffAndInactive) {
  Scene scene(1);
  Layer *layer = Scene::Top(scene.Entry(0, 1.0), MODE_AMBIENT);
  EXPECT_EQ(scene.Flags(), 0x41E7u) << "one new layer";
  layer->inBuffer = BUF_DEPTH;
  layer->alphaBuffer = BUF_GEOMETRY;
  layer->active = 0;
  scene.Entry(0, 1.0, 0);
  EXPECT_EQ(scene.Flags(), 0x41E7u) << "inactive, on Depth and Geometry, entry off";
}

TEST(BufferRequirements, OtherModesAskForTheBuffersTheyName) {
  Scene scene(2);
  Layer *shadow = Scene::Top(scene.Entry(0, 1.0), MODE_ADD);
  shadow->type = LAYER_SHADOW;
  shadow->inBuffer = BUF_DEPTH;
  EXPECT_EQ(scene.Flags(), (1u << 0) | (1u << 10) | (1u << 12)) << "Shadow layer Add on Depth";

  Layer *sub = Scene::Top(scene.Entry(1, 2.0, 0), MODE_SUB);
  sub->inBuffer = BUF_GEOMETRY;
  sub->alphaBuffer = BUF_DIFFUSE_SHADE;
  EXPECT_EQ(scene.Flags(), (1u << 0) | (1u << 10) | (1u << 12) | (1u << 11) | (1u << 13))
      << "plus Sub on Geometry with alpha Diffuse Shade in an entry switched off";
}

TEST(BufferRequirements, EachBufferIndexAsksForItsOwnBit) {
  // Host buffer bit of each index, 0 for none: "Alpha" comes with the colour.
  const unsigned int bit[BUF_INDEX_COUNT] = {0,        0,        1u << 1, 1u << 2,  1u << 3,
                                             1u << 4,  1u << 5,  1u << 9, 1u << 13, 1u << 14,
                                             1u << 10, 1u << 11, 1u << 12};
  for (int32_t index = 0; index < BUF_INDEX_COUNT; ++index) {
    for (bool asAlpha : {false, true}) {
      Scene scene(1);
      Layer *layer = Scene::Top(scene.Entry(0, 1.0), MODE_MULTIPLY);
      (asAlpha ? layer->alphaBuffer : layer->inBuffer) = index;
      EXPECT_EQ(scene.Flags(), 1u | bit[index])
          << (asAlpha ? "alpha" : "input") << " buffer " << BufferNames[index];
    }
  }
}

TEST(BufferRequirements, BufferIndexOutsideTheTableAsksForNothing) {
  for (int32_t index : {13, -1, INT32_MAX, INT32_MIN}) {
    Scene scene(1);
    Layer *layer = Scene::Top(scene.Entry(0, 1.0), MODE_OVERLAY);
    layer->inBuffer = index;
    layer->alphaBuffer = index;
    EXPECT_EQ(scene.Flags(), 1u) << "buffer index " << index;
  }
}

TEST(BufferRequirements, MaskCoversEveryBufferTheEvaluationReads) {
  Scene scene(1);
  SBEntry &entry = scene.Entry(0, 1.0);
  for (int32_t index = 0; index < BUF_INDEX_COUNT; ++index) {
    Layer *layer = Scene::Top(entry, MODE_ADD);
    layer->inBuffer = index;
    layer->alphaBuffer = BUF_INDEX_COUNT - 1 - index;
  }
  Scene::Top(entry, MODE_AMBIENT)->type = LAYER_SHADOW;
  Pixel pixel(1.0f);
  pixel.Set(HOST_BUF_SHADOW, 1.0f);
  scene.Evaluate(pixel);
  const unsigned int mask = scene.Flags();
  for (int buffer = 0; buffer < 32; ++buffer) {
    if (pixel.Reads(buffer) > 0) {
      EXPECT_NE(mask & (1u << buffer), 0u) << "buffer " << buffer << " read but not requested";
    }
  }
}

} // namespace
