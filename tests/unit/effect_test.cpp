// The layer effect with its blend modes, and the colour-space conversions.
// Expected colours are worked out by hand from the blend formulas.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "effect.h"
#include "layers.h"

namespace {

constexpr float kTol = 1e-5f;
constexpr float kUnwritten = -7.0f; // what `out` holds before PixEffecter runs

std::string Triple(const float *c) {
  char text[96];
  snprintf(text, sizeof text, "(%.7g, %.7g, %.7g)", c[0], c[1], c[2]);
  return text;
}

::testing::AssertionResult SameColour(const char *what, const float *got, float r, float g, float b,
                                      float tol = kTol) {
  const float want[3] = {r, g, b};
  for (int c = 0; c < 3; ++c) {
    if (!(std::fabs(got[c] - want[c]) <= tol)) {
      return ::testing::AssertionFailure()
             << what << ": expected " << Triple(want) << ", got " << Triple(got);
    }
  }
  return ::testing::AssertionSuccess();
}

// A new layer's defaults (white, intensity 100, "None" buffers, no inversion)
// in the given mode.
Layer NewLayer(int32_t mode, uint8_t r = 255, uint8_t g = 255, uint8_t b = 255) {
  Layer layer{};
  ClearLayer(&layer);
  layer.mode = mode;
  layer.color[0] = r;
  layer.color[1] = g;
  layer.color[2] = b;
  return layer;
}

// Runs one layer over P with both buffer values 1.0 unless the test sets
// others; `out` starts as kUnwritten so that an untouched channel shows.
struct Effect {
  float current[4];
  float surface[3] = {0.0f, 0.0f, 0.0f};
  PixelContext context{};
  float out[4] = {kUnwritten, kUnwritten, kUnwritten, kUnwritten};

  Effect(const Effect &) = delete; // the context points into the record
  Effect(float r, float g, float b) : current{r, g, b, 0.5f} {
    context.current = current;
    context.surfaceColor = surface;
    context.inputValue = 1.0f;
    context.alphaValue = 1.0f;
  }
  const float *Run(const Layer &layer) {
    context.layer = &layer;
    PixEffecter(&context, out);
    return out;
  }
};

std::array<float, 4> Apply(const Layer &layer, float r, float g, float b) {
  Effect effect(r, g, b);
  const float *w = effect.Run(layer);
  return {w[0], w[1], w[2], w[3]};
}

// ---------------------------------------------------------------------------
// max, min, RGB2HSV, HSV2RGB

TEST(ColourConversion, MaxAndMinPickTheExtremeOfThreeWhereverItStands) {
  EXPECT_EQ(max(3.0f, 1.0f, 2.0f), 3.0f);
  EXPECT_EQ(max(1.0f, 3.0f, 2.0f), 3.0f);
  EXPECT_EQ(max(1.0f, 2.0f, 3.0f), 3.0f);
  EXPECT_EQ(max(-1.0f, -3.0f, -2.0f), -1.0f);
  EXPECT_EQ(min(3.0f, 1.0f, 2.0f), 1.0f);
  EXPECT_EQ(min(2.0f, 3.0f, 1.0f), 1.0f);
  EXPECT_EQ(min(1.0f, 3.0f, 2.0f), 1.0f);
  EXPECT_EQ(min(-1.0f, -3.0f, -2.0f), -3.0f);
}

TEST(ColourConversion, RGB2HSVGivesHueInDegreesSaturationAndLargestChannel) {
  struct Case {
    float rgb[3], hsv[3];
  } cases[] = {
      {{1, 0, 0}, {0, 1, 1}},
      {{0, 1, 0}, {120, 1, 1}},
      {{0, 0, 1}, {240, 1, 1}},
      {{1, 0, 1}, {300, 1, 1}},
      {{1, 1, 0}, {60, 1, 1}},
      {{0, 1, 1}, {180, 1, 1}},
      {{0, 0, 0}, {0, 0, 0}},
      {{0.5f, 0.5f, 0.5f}, {0, 0, 0.5f}},
      {{0.2f, 0.4f, 0.6f}, {210, 2.0f / 3.0f, 0.6f}},
  };
  for (const Case &c : cases) {
    float hsv[3] = {kUnwritten, kUnwritten, kUnwritten};
    RGB2HSV(c.rgb, hsv);
    EXPECT_TRUE(SameColour(("HSV of RGB " + Triple(c.rgb)).c_str(), hsv, c.hsv[0], c.hsv[1],
                           c.hsv[2], 1e-4f));
  }
}

TEST(ColourConversion, HSV2RGBFillsEachOfTheSixSectors) {
  struct Case {
    float hue, rgb[3];
  } cases[] = {
      {30, {1, 0.5f, 0}},  {90, {0.5f, 1, 0}},  {150, {0, 1, 0.5f}}, {210, {0, 0.5f, 1}},
      {270, {0.5f, 0, 1}}, {330, {1, 0, 0.5f}}, {120, {0, 1, 0}},
  };
  for (const Case &c : cases) {
    float hsv[3] = {c.hue, 1, 1};
    float rgb[3] = {kUnwritten, kUnwritten, kUnwritten};
    HSV2RGB(rgb, hsv);
    EXPECT_TRUE(SameColour(("RGB of hue " + std::to_string(c.hue)).c_str(), rgb, c.rgb[0], c.rgb[1],
                           c.rgb[2]));
  }
  // Saturation 0.5, value 0.8, hue 30: p = 0.4, q = t = 0.6.
  float hsv[3] = {30, 0.5f, 0.8f};
  float rgb[3];
  HSV2RGB(rgb, hsv);
  EXPECT_TRUE(SameColour("RGB of HSV (30, 0.5, 0.8)", rgb, 0.8f, 0.6f, 0.4f));
}

TEST(ColourConversion, HSV2RGBTurnsTheCallersHueOf360IntoZero) {
  float hsv[3] = {360, 1, 1};
  float rgb[3];
  HSV2RGB(rgb, hsv);
  EXPECT_TRUE(SameColour("RGB of hue 360", rgb, 1, 0, 0));
  EXPECT_EQ(hsv[0], 0.0f) << "the caller's hue of 360 should have become 0";
}

TEST(ColourConversion, HSV2RGBWritesNothingOutsideTheSixSectors) {
  for (float hue : {400.0f, 360.5f, -60.0f, -200.0f, NAN, INFINITY}) {
    float hsv[3] = {hue, 1, 1};
    float rgb[3] = {kUnwritten, kUnwritten, kUnwritten};
    HSV2RGB(rgb, hsv);
    EXPECT_TRUE(SameColour(("RGB of hue " + std::to_string(hue)).c_str(), rgb, kUnwritten,
                           kUnwritten, kUnwritten, 0.0f));
  }
}

TEST(ColourConversion, HSV2RGBPutsANegativeHueAboveMinus60IntoTheFirstSector) {
  // hh = -0.5 truncates to sector 0 with f = -0.5: t = 1 - 1.5 = -0.5.
  float hsv[3] = {-30, 1, 1};
  float rgb[3];
  HSV2RGB(rgb, hsv);
  EXPECT_TRUE(SameColour("RGB of hue -30", rgb, 1, -0.5f, 0));
}

TEST(ColourConversion, HSV2RGBGivesGreyForZeroSaturationWhateverTheHue) {
  for (float hue : {0.0f, 200.0f, 400.0f}) {
    float hsv[3] = {hue, 0, 0.3f};
    float rgb[3];
    HSV2RGB(rgb, hsv);
    EXPECT_TRUE(
        SameColour(("grey of hue " + std::to_string(hue)).c_str(), rgb, 0.3f, 0.3f, 0.3f, 0.0f));
  }
}

float Byte(int value) { return static_cast<float>(value) / 255.0f; }

TEST(ColourConversion, RoundTripThroughHSVGivesTheColourBack) {
  for (int r = 0; r <= 255; r += 3) {
    for (int g = 0; g <= 255; g += 3) {
      for (int b = 0; b <= 255; b += 3) {
        const float rgb[3] = {Byte(r), Byte(g), Byte(b)};
        float hsv[3], back[3];
        RGB2HSV(rgb, hsv);
        HSV2RGB(back, hsv);
        ASSERT_TRUE(SameColour(("round trip of " + Triple(rgb)).c_str(), back, rgb[0], rgb[1],
                               rgb[2], 2e-6f));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// PixEffecter

TEST(BlendModes, EachModeAtFullStrengthGivesItsBlendResult) {
  struct Case {
    const char *what;
    Layer layer;
    float p[3], want[3];
  } cases[] = {
      {"Add white", NewLayer(MODE_ADD), {0.2f, 0.4f, 0.6f}, {1.2f, 1.4f, 1.6f}},
      {"Sub white", NewLayer(MODE_SUB), {0.2f, 0.4f, 1.0f}, {0, 0, 0}},
      {"Sub grey 51", NewLayer(MODE_SUB, 51, 51, 51), {0.5f, 0.1f, 1.5f}, {0.3f, 0, 1.3f}},
      {"Multiply cyan", NewLayer(MODE_MULTIPLY, 0, 255, 255), {0.2f, 0.4f, 0.6f}, {0, 0.4f, 0.6f}},
      {"Difference white", NewLayer(MODE_DIFFERENCE), {0.2f, 0.4f, 0.6f}, {0.8f, 0.6f, 0.4f}},
      {"Screen black", NewLayer(MODE_SCREEN, 0, 0, 0), {0.2f, 0.4f, 0.6f}, {0.2f, 0.4f, 0.6f}},
      {"Screen white", NewLayer(MODE_SCREEN), {0.2f, 0.4f, 0.6f}, {1, 1, 1}},
      {"Overlay black", NewLayer(MODE_OVERLAY, 0, 0, 0), {0.2f, 0.4f, 0.6f}, {0.04f, 0.16f, 0.36f}},
      {"Overlay white", NewLayer(MODE_OVERLAY), {0.5f, 0.5f, 2.0f}, {0.75f, 0.75f, 0.0f}},
      // P = (0.2, 0.4, 0.6) is HSV (210, 2/3, 0.6).
      {"Hue red", NewLayer(MODE_HUE, 255, 0, 0), {0.2f, 0.4f, 0.6f}, {0.6f, 0.2f, 0.2f}},
      {"Saturation red", NewLayer(MODE_SATURATION, 255, 0, 0), {0.2f, 0.4f, 0.6f}, {0, 0.3f, 0.6f}},
      {"Saturation grey",
       NewLayer(MODE_SATURATION, 128, 128, 128),
       {0.2f, 0.4f, 0.6f},
       {0.6f, 0.6f, 0.6f}},
      {"Saturation white", NewLayer(MODE_SATURATION), {0.2f, 0.4f, 0.6f}, {0.6f, 0.6f, 0.6f}},
      {"Value black", NewLayer(MODE_VALUE, 0, 0, 0), {0.2f, 0.4f, 0.6f}, {0, 0, 0}},
      {"Value white", NewLayer(MODE_VALUE), {0.2f, 0.4f, 0.6f}, {1.0f / 3, 2.0f / 3, 1}},
  };
  for (const Case &c : cases) {
    const std::array<float, 4> w = Apply(c.layer, c.p[0], c.p[1], c.p[2]);
    EXPECT_TRUE(SameColour(c.what, w.data(), c.want[0], c.want[1], c.want[2]));
    EXPECT_EQ(w[3], kUnwritten) << c.what << " wrote the alpha, which belongs to the caller";
  }
}

TEST(BlendModes, IntensityMixesTheColourWithTheBlendResultAndExtrapolatesAbove100) {
  Layer add = NewLayer(MODE_ADD);
  add.intensity = 50;
  EXPECT_TRUE(
      SameColour("Add white at 50%", Apply(add, 0.2f, 0.4f, 0.6f).data(), 0.7f, 0.9f, 1.1f));
  // At 200% Sub white gives F = 0 and W = -P: no limit on the result.
  Layer sub = NewLayer(MODE_SUB);
  sub.intensity = 200;
  EXPECT_TRUE(
      SameColour("Sub white at 200%", Apply(sub, 0.2f, 0.4f, 0.6f).data(), -0.2f, -0.4f, -0.6f));
}

// With Add white F = P + 1, so W - P is the blend weight u = t * i * a.
float BlendWeight(const Layer &layer, float inputValue, float alphaValue) {
  Effect effect(0.25f, 0.25f, 0.25f);
  effect.context.inputValue = inputValue;
  effect.context.alphaValue = alphaValue;
  return effect.Run(layer)[0] - 0.25f;
}

TEST(BlendModes, InputBufferWeightIsInvertedAndLimitedBelowOnly) {
  Layer layer = NewLayer(MODE_ADD);
  EXPECT_NEAR(BlendWeight(layer, 1.5f, 1.0f), 1.5f, kTol) << "input 1.5 without inversion";
  layer.invert = 1;
  EXPECT_NEAR(BlendWeight(layer, 0.25f, 1.0f), 0.75f, kTol) << "input 0.25 inverted";
  EXPECT_NEAR(BlendWeight(layer, 1.5f, 1.0f), 0.0f, kTol) << "input 1.5 inverted";
}

TEST(BlendModes, AlphaBufferWeightScalesByAlphaIntensityBeforeInversion) {
  Layer layer = NewLayer(MODE_ADD);
  layer.alphaIntensity = 50;
  EXPECT_NEAR(BlendWeight(layer, 1.0f, 1.0f), 0.5f, kTol) << "alpha 1.0 at 50%";
  layer.alphaInvert = 1;
  EXPECT_NEAR(BlendWeight(layer, 1.0f, 1.0f), 0.5f, kTol) << "alpha 1.0 at 50%, inverted";
  EXPECT_NEAR(BlendWeight(layer, 1.0f, 0.0f), 1.0f, kTol) << "alpha 0.0 inverted";
  EXPECT_NEAR(BlendWeight(layer, 1.0f, 3.0f), 0.0f, kTol) << "alpha 3.0 at 50%, inverted";
  // All three weights multiply: 0.5 * 0.5 * 0.5.
  layer.intensity = 50;
  layer.alphaInvert = 0;
  EXPECT_NEAR(BlendWeight(layer, 0.5f, 1.0f), 0.125f, kTol) << "intensity, input and alpha";
}

TEST(BlendModes, AmbientLightOnASurfaceLayerLightsTheSurfaceColour) {
  Effect effect(0.1f, 0.2f, 0.3f);
  effect.context.diffuse = 1.0f;
  effect.surface[0] = effect.surface[1] = effect.surface[2] = 0.5f;
  EXPECT_TRUE(SameColour("white AmbientLight on S = 0.5", effect.Run(NewLayer(MODE_AMBIENT)), 0.6f,
                         0.7f, 0.8f));

  // Layer colour (1, 0.2, 0), t = 0.5, diffuse 0.8, transparency 0.25,
  // luminous 0.5, specular shade 0.2: factor 0.5 * 0.8 * 0.75 * 0.5 * 0.8 =
  // 0.12, times L and S = (0.5, 1, 1). Input and alpha play no part.
  Layer layer = NewLayer(MODE_AMBIENT, 255, 51, 0);
  layer.intensity = 50;
  layer.invert = layer.alphaInvert = 1;
  effect.context.diffuse = 0.8f;
  effect.context.transparency = 0.25f;
  effect.context.luminous = 0.5f;
  effect.context.specularShade = 0.2f;
  effect.context.inputValue = 0.0f;
  effect.context.alphaValue = 0.0f;
  effect.surface[1] = effect.surface[2] = 1.0f;
  EXPECT_TRUE(SameColour("AmbientLight Surface layer", effect.Run(layer), 0.16f, 0.224f, 0.3f));
  EXPECT_EQ(effect.out[3], kUnwritten) << "AmbientLight wrote the alpha";
}

TEST(BlendModes, AmbientLightOnAShadowLayerAddsLightByTheShadowValue) {
  // Factor 1 * 0.5 * 0.8 * 0.75 * 0.5 = 0.15; specular shade and surface
  // colour play no part.
  Effect effect(0.1f, 0.2f, 0.3f);
  effect.context.shadow = 0.5f;
  effect.context.diffuse = 0.8f;
  effect.context.transparency = 0.25f;
  effect.context.luminous = 0.5f;
  effect.context.specularShade = 0.9f;
  Layer layer = NewLayer(MODE_AMBIENT, 255, 51, 0);
  layer.type = LAYER_SHADOW;
  EXPECT_TRUE(SameColour("AmbientLight Shadow layer", effect.Run(layer), 0.25f, 0.23f, 0.3f));
}

TEST(BlendModes, UnknownModeOrAmbientLightOfUnknownTypeWritesNothing) {
  Layer ambient = NewLayer(MODE_AMBIENT);
  ambient.type = 2;
  Layer high = NewLayer(MODE_COUNT);
  Layer negative = NewLayer(-1);
  for (const Layer *layer : {&ambient, &high, &negative}) {
    Effect effect(0.2f, 0.4f, 0.6f);
    effect.context.diffuse = 1.0f;
    const float *w = effect.Run(*layer);
    EXPECT_TRUE(SameColour(
        ("mode " + std::to_string(layer->mode) + " type " + std::to_string(layer->type)).c_str(), w,
        kUnwritten, kUnwritten, kUnwritten, 0.0f));
  }
}

} // namespace
