// The preview: the role tables of the stored images, and the drawing of the
// background, the base ball and the result ball, checked pixel by pixel
// against values worked out from the image bytes and the shading and blend
// formulas.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "effect.h"
#include "fake_panel.h"
#include "fake_surfaces.h"
#include "layers.h"
#include "module.h"
#include "panel.h"
#include "preview.h"

namespace {

using Rgb = std::array<int, 3>;

// A channel as drawn: the integer part of v * 255.
int Byte(float v) { return static_cast<int>(v * 255.0f); }
Rgb Grey(float v) { return {Byte(v), Byte(v), Byte(v)}; }
float Frac(uint8_t b) { return static_cast<float>(b) / 255.0f; }

int CountMask(int value) {
  int n = 0;
  for (int p = 0; p < PREVIEW_PIXELS; ++p) n += alp_pix[p] == value;
  return n;
}

const char *const kTypeNames[] = {"Ball", "Cel-Look Ball", "Shadow"};

// ---------------------------------------------------------------------------
// Role tables

TEST(PreviewTables, EachPreviewTypeNamesItsBrightnessHighlightAndShadowImages) {
  EXPECT_EQ(PreBase_pix[0], pre_pix);
  EXPECT_EQ(PreBase_pix[1], cel_pix);
  EXPECT_EQ(PreBase_pix[2], depth_pix);
  EXPECT_EQ(PreBase_spc[0], spc_pix);
  EXPECT_EQ(PreBase_spc[1], nullptr);
  EXPECT_EQ(PreBase_spc[2], nullptr);
  EXPECT_EQ(PreBase_shd[0], nullptr);
  EXPECT_EQ(PreBase_shd[1], nullptr);
  EXPECT_EQ(PreBase_shd[2], depth_pix);
  EXPECT_EQ(predif_tbl[0], 1.0f);
  EXPECT_EQ(predif_tbl[1], 0.0f);
  EXPECT_EQ(predif_tbl[2], 1.0f);
  EXPECT_EQ(prebuf_tbl[0], prebuf_normal);
  EXPECT_EQ(prebuf_tbl[1], prebuf_cel);
  EXPECT_EQ(prebuf_tbl[2], prebuf_shadow);
}

TEST(PreviewTables, EachBufferIsStoodInForByItsImageOrByNothing) {
  const uint8_t *const A = alp_pix, *const N = nullptr;
  const uint8_t *const normal[13] = {A,       A,       A,       A, A,        N,        N,
                                     pre_pix, dif_pix, spc_pix, N, geom_pix, depth_pix};
  const uint8_t *const cel[13] = {A, A, A, A, N, N, N, N, N, N, N, geom_pix, depth_pix};
  const uint8_t *const shadow[13] = {A, A, A, A, N, N, N, A, A, N, A, A, A};
  for (int b = 0; b < 13; ++b) {
    EXPECT_EQ(prebuf_normal[b], normal[b]) << "\"Ball\" buffer " << b;
    EXPECT_EQ(prebuf_cel[b], cel[b]) << "\"Cel-Look Ball\" buffer " << b;
    EXPECT_EQ(prebuf_shadow[b], shadow[b]) << "\"Shadow\" buffer " << b;
  }
}

// ---------------------------------------------------------------------------
// Drawing

class Preview : public ::testing::Test {
protected:
  FakeSurfaces scene{SurfacesWithValues({1.0})};
  FakePanelHost host;
  FilterInstance *inst = nullptr;
  FakePanel *panel = nullptr;
  int ox = 0, oy = 0; // origin of the preview area's drawing region

  void SetUp() override {
    inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(inst->entryCount, 1);
    ASSERT_GT(CountMask(255), 0) << "the mask image holds no drawn pixel";
  }
  void TearDown() override { QXDestroy(inst); }

  SBEntry &Entry() { return inst->entries[0]; }

  // Puts a layer on top of the entry's stack (so the one pushed first is
  // applied first).
  Layer *Push(int mode, Rgb colour, double intensity = 100.0, int type = LAYER_SURFACE) {
    Layer *layer = AddLayer(&Entry(), 0);
    EXPECT_NE(layer, nullptr);
    layer->mode = mode;
    for (int c = 0; c < 3; ++c) layer->color[c] = static_cast<uint8_t>(colour[c]);
    layer->intensity = intensity;
    layer->type = type;
    return layer;
  }

  // Opens the panel and, while it is open, selects the entry as a pick of
  // its row would and runs `draw` on a clean canvas.
  void DrawWhileOpen(const std::function<void()> &draw, bool select = true) {
    host.onOpen = [&](FakePanel &p) {
      panel = &p;
      if (select) {
        inst->curEntry = 0;
        inst->curLayer = Entry().head;
        inst->curLayerNo = Entry().head != nullptr ? 0 : -1;
        inst->layerCount = Entry().on != 0 ? GetLayerNum(&Entry()) : 0;
      }
      ox = p.control(CTL_PREVIEW_AREA).x + FakePanelHost::kHotDX;
      oy = p.control(CTL_PREVIEW_AREA).y + FakePanelHost::kHotDY;
      p.clearCanvas();
      draw();
    };
    ASSERT_EQ(QXOptions(inst), nullptr);
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->faults.empty()) << panel->faults.front();
  }
  void DrawPreview(bool select = true) {
    DrawWhileOpen([this] { Preview_Redraw(inst); }, select);
  }

  // The whole 96 by 80 area as it must look: the background, the base ball
  // at (0, 0), then the result ball at (32, 16), each only where the mask is
  // 255. Also checks that nothing was drawn outside the area.
  void ExpectArea(Rgb background, const std::function<Rgb(int)> &base,
                  const std::function<Rgb(int)> &result) {
    std::vector<Rgb> want(PREVIEW_AREA_W * PREVIEW_AREA_H, background);
    std::vector<std::string> part(want.size(), "background");
    for (int r = 0; r < PREVIEW_SIZE; ++r) {
      for (int c = 0; c < PREVIEW_SIZE; ++c) {
        const int p = r * PREVIEW_SIZE + c;
        if (alp_pix[p] != 255) continue;
        want[static_cast<size_t>(r * PREVIEW_AREA_W + c)] = base(p);
        part[static_cast<size_t>(r * PREVIEW_AREA_W + c)] =
            "base ball pixel r" + std::to_string(r) + " c" + std::to_string(c);
      }
    }
    for (int r = 0; r < PREVIEW_SIZE; ++r) {
      for (int c = 0; c < PREVIEW_SIZE; ++c) {
        const int p = r * PREVIEW_SIZE + c;
        if (alp_pix[p] != 255) continue;
        const size_t at =
            static_cast<size_t>((r + PREVIEW_RESULT_DY) * PREVIEW_AREA_W + c + PREVIEW_RESULT_DX);
        want[at] = result(p);
        part[at] = "result ball pixel r" + std::to_string(r) + " c" + std::to_string(c);
      }
    }
    int wrong = 0;
    for (int y = 0; y < PREVIEW_AREA_H; ++y) {
      for (int x = 0; x < PREVIEW_AREA_W; ++x) {
        const size_t at = static_cast<size_t>(y * PREVIEW_AREA_W + x);
        const Rgb got = panel->at(ox + x, oy + y);
        if (got == want[at]) continue;
        if (++wrong <= 5)
          ADD_FAILURE() << part[at] << " (area " << x << "," << y << ") is " << got[0] << ","
                        << got[1] << "," << got[2] << ", expected " << want[at][0] << ","
                        << want[at][1] << "," << want[at][2];
      }
    }
    EXPECT_EQ(wrong, 0) << "preview pixels differ from the expected picture";
    int outside = 0;
    for (int y = 0; y < FakePanel::kCanvasH; ++y) {
      for (int x = 0; x < FakePanel::kCanvasW; ++x) {
        const bool inArea =
            x >= ox && x < ox + PREVIEW_AREA_W && y >= oy && y < oy + PREVIEW_AREA_H;
        if (!inArea && panel->at(x, y)[0] != FakePanel::kUntouched) ++outside;
      }
    }
    EXPECT_EQ(outside, 0) << "pixels drawn outside the preview area";
  }

  // The white base colour in each preview type: grey from the brightness
  // image, lightened toward white by the "Ball" highlight.
  static Rgb WhiteBase(int type, int p) {
    const uint8_t *brightness[] = {pre_pix, cel_pix, depth_pix};
    const float v = Frac(brightness[type][p]);
    if (type != 0) return Grey(v);
    const float s = Frac(spc_pix[p]);
    return Grey(s + (1.0f - s) * v);
  }
};

TEST_F(Preview, BallsStandOnBlackAndTheShadowStandsOnTheBaseColour) {
  inst->baseColor[0] = 0.5f;
  inst->baseColor[1] = 0.25f;
  inst->baseColor[2] = 1.0f;
  for (int type = 0; type < 3; ++type) {
    SCOPED_TRACE(kTypeNames[type]);
    inst->previewType = type;
    DrawPreview(false);
    const Rgb want = type == 2 ? Rgb{127, 63, 255} : Rgb{0, 0, 0};
    // The top right and bottom left corners lie outside both balls.
    EXPECT_EQ(panel->at(ox + 95, oy), want);
    EXPECT_EQ(panel->at(ox, oy + 79), want);
    EXPECT_EQ(panel->boxCalls, 1);
  }
}

TEST_F(Preview, WhiteBallFollowsTheBrightnessImageAndTheHighlightLightensIt) {
  int highlighted = 0;
  for (int p = 0; p < PREVIEW_PIXELS; ++p) highlighted += alp_pix[p] == 255 && spc_pix[p] > 0;
  ASSERT_GT(highlighted, 0) << "the highlight image lies outside the drawn ball";
  for (int type = 0; type < 3; ++type) {
    SCOPED_TRACE(kTypeNames[type]);
    inst->previewType = type;
    DrawPreview(false);
    const Rgb background = type == 2 ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
    auto base = [type](int p) { return WhiteBase(type, p); };
    ExpectArea(background, base, base);
  }
}

TEST_F(Preview, PureRedBaseGivesRedShadesOfTheBrightnessImage) {
  inst->baseColor[0] = 1.0f;
  inst->baseColor[1] = 0.0f;
  inst->baseColor[2] = 0.0f;
  inst->previewType = 1;
  DrawPreview(false);
  auto red = [](int p) { return Rgb{Byte(Frac(cel_pix[p])), 0, 0}; };
  ExpectArea({0, 0, 0}, red, red);
}

TEST_F(Preview, BaseColourKeepsItsHueAndSaturationAcrossTheBall) {
  // Hue 20 degrees, saturation 0.75: green is half of red, blue a quarter.
  inst->baseColor[0] = 0.8f;
  inst->baseColor[1] = 0.4f;
  inst->baseColor[2] = 0.2f;
  inst->previewType = 1;
  DrawPreview(false);
  int checked = 0;
  for (int r = 0; r < PREVIEW_SIZE; ++r) {
    for (int c = 0; c < PREVIEW_SIZE; ++c) {
      const int p = r * PREVIEW_SIZE + c;
      if (alp_pix[p] != 255) continue;
      const float v = Frac(cel_pix[p]) * 0.8f;
      const Rgb got = panel->at(ox + PREVIEW_RESULT_DX + c, oy + PREVIEW_RESULT_DY + r);
      ASSERT_EQ(got[0], Byte(v)) << "red of result ball pixel r" << r << " c" << c;
      ASSERT_NEAR(got[1], Byte(v * 0.5f), 1) << "green of result ball pixel r" << r << " c" << c;
      ASSERT_NEAR(got[2], Byte(v * 0.25f), 1) << "blue of result ball pixel r" << r << " c" << c;
      ++checked;
    }
  }
  EXPECT_EQ(checked, CountMask(255));
}

TEST_F(Preview, BlackBaseShowsOnlyTheHighlight) {
  inst->baseColor[0] = inst->baseColor[1] = inst->baseColor[2] = 0.0f;
  inst->previewType = 0;
  DrawPreview(false);
  auto highlight = [](int p) { return Grey(Frac(spc_pix[p])); };
  ExpectArea({0, 0, 0}, highlight, highlight);
}

TEST_F(Preview, ResultBallIsTheBaseBallShiftedWhenNoLayerApplies) {
  inst->previewType = 1;
  Push(MODE_MULTIPLY, {0, 0, 0}); // black everywhere, were it applied
  auto base = [](int p) { return WhiteBase(1, p); };
  struct Case {
    const char *what;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"no entry selected", [this] { inst->curEntry = -1; }},
      {"no layer selected", [this] { inst->curLayer = nullptr; }},
      {"the entry switched off", [this] { Entry().on = 0; }},
      {"its only layer switched off", [this] { Entry().head->active = 0; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Entry().on = 1;
    Entry().head->active = 1;
    DrawWhileOpen([&] {
      c.arrange();
      Preview_Redraw(inst);
    });
    ExpectArea({0, 0, 0}, base, base);
  }
  // An empty stack.
  DelAllLayer(&Entry());
  Entry().on = 1;
  DrawPreview();
  ExpectArea({0, 0, 0}, base, base);
}

TEST_F(Preview, MultiplyLayerScalesTheResultBallByTheLayerColour) {
  inst->previewType = 1;
  Push(MODE_MULTIPLY, {255, 128, 0});
  Entry().on = 1;
  DrawPreview();
  auto base = [](int p) { return WhiteBase(1, p); };
  // Full strength: the result is the blend result P * L itself.
  auto multiplied = [](int p) {
    const float v = Frac(cel_pix[p]);
    return Rgb{Byte(v * (255 / 255.0f)), Byte(v * (128 / 255.0f)), Byte(v * (0 / 255.0f))};
  };
  ExpectArea({0, 0, 0}, base, multiplied);
}

TEST_F(Preview, LayersRunFromTheLastToTheFirstAndANegativeResultPassesOnBlack) {
  inst->previewType = 1;
  // Applied first: "Sub" white at 200 % gives (1 - 2) * P + 2 * 0 = -P.
  Push(MODE_SUB, {255, 255, 255}, 200.0);
  // Applied second, on black: "Add" 64 gives 64 / 255.
  Push(MODE_ADD, {64, 64, 64});
  Entry().on = 1;
  DrawPreview();
  auto base = [](int p) { return WhiteBase(1, p); };
  auto result = [](int) { return Grey(0.0f + 64 / 255.0f); };
  ExpectArea({0, 0, 0}, base, result);
}

TEST_F(Preview, ShadowLayersShowOnlyInTheShadowPreviewAndSurfaceLayersOnlyInTheBalls) {
  Push(MODE_MULTIPLY, {0, 0, 0}, 100.0, LAYER_SHADOW);
  Entry().on = 1;
  for (int type : {0, 1}) {
    SCOPED_TRACE(std::string("a \"Shadow\" layer in ") + kTypeNames[type]);
    inst->previewType = type;
    DrawPreview();
    auto base = [type](int p) { return WhiteBase(type, p); };
    ExpectArea({0, 0, 0}, base, base);
  }
  {
    SCOPED_TRACE("a \"Shadow\" layer in Shadow");
    inst->previewType = 2;
    DrawPreview();
    auto base = [](int p) { return WhiteBase(2, p); };
    // Black wherever the shadow value 1 - depth is not 0.
    auto shadowed = [](int p) { return depth_pix[p] == 255 ? WhiteBase(2, p) : Rgb{0, 0, 0}; };
    ExpectArea({255, 255, 255}, base, shadowed);
  }
  {
    SCOPED_TRACE("a \"Surface\" layer in Shadow");
    Entry().head->type = LAYER_SURFACE;
    DrawPreview();
    auto base = [](int p) { return WhiteBase(2, p); };
    ExpectArea({255, 255, 255}, base, base);
  }
}

TEST_F(Preview, InputBuffersReadTheirStandInImages) {
  inst->previewType = 1;
  Layer *layer = Push(MODE_MULTIPLY, {0, 0, 0});
  Entry().on = 1;
  auto base = [](int p) { return WhiteBase(1, p); };
  {
    SCOPED_TRACE("\"Geometry\" weighs the blend by the facing-ratio image");
    layer->inBuffer = BUF_GEOMETRY;
    DrawPreview();
    auto weighted = [](int p) {
      const float v = Frac(cel_pix[p]);
      const float u = Frac(geom_pix[p]);
      return Grey((1.0f - u) * v + u * (v * 0.0f));
    };
    ExpectArea({0, 0, 0}, base, weighted);
  }
  {
    SCOPED_TRACE("\"Shading\" has no image in the cel look and reads 0");
    layer->inBuffer = BUF_SHADING;
    DrawPreview();
    ExpectArea({0, 0, 0}, base, base);
  }
  {
    SCOPED_TRACE("an alpha buffer index outside the table reads as \"None\"");
    layer->inBuffer = BUF_NONE;
    layer->alphaBuffer = 40;
    DrawPreview();
    ExpectArea({0, 0, 0}, base, [](int) { return Rgb{0, 0, 0}; });
  }
}

// "AmbientLight" adds L * t * diffuse * (1 - specular shade) * S for a
// "Surface" layer and L * t * shadow * diffuse for a "Shadow" layer. With a
// white layer at 50 % on a grey base of 0.5 (or white) every factor but the
// image's is 1 or a power of two, so the sum is exact whatever the grouping.
TEST_F(Preview, AmbientLightLightsTheBallByTheStandInDiffuseSpecularAndShadowImages) {
  Layer *layer = Push(MODE_AMBIENT, {255, 255, 255}, 50.0);
  Entry().on = 1;
  {
    SCOPED_TRACE("Ball: full diffuse, less where the highlight is");
    inst->baseColor[0] = inst->baseColor[1] = inst->baseColor[2] = 0.5f;
    inst->previewType = 0;
    DrawPreview();
    auto shaded = [](int p) {
      const float v = Frac(pre_pix[p]) * 0.5f, s = Frac(spc_pix[p]);
      return s + (1.0f - s) * v;
    };
    auto base = [&](int p) { return Grey(shaded(p)); };
    auto lit = [&](int p) {
      const float sum = shaded(p) + 0.25f * (1.0f - Frac(spc_pix[p]));
      return sum >= 1.0f ? Rgb{255, 255, 255} : Grey(sum);
    };
    ExpectArea({0, 0, 0}, base, lit);
    inst->baseColor[0] = inst->baseColor[1] = inst->baseColor[2] = 1.0f;
  }
  {
    SCOPED_TRACE("Cel-Look Ball: no diffuse, so no light");
    inst->previewType = 1;
    DrawPreview();
    auto base = [](int p) { return WhiteBase(1, p); };
    ExpectArea({0, 0, 0}, base, base);
  }
  {
    SCOPED_TRACE("Shadow: a \"Shadow\" layer adds by the shadow value 1 - depth");
    layer->type = LAYER_SHADOW;
    inst->previewType = 2;
    DrawPreview();
    auto base = [](int p) { return WhiteBase(2, p); };
    auto lit = [](int p) {
      const float d = Frac(depth_pix[p]);
      const float sum = d + 0.5f * (1.0f - d);
      return sum >= 1.0f ? Rgb{255, 255, 255} : Grey(sum);
    };
    ExpectArea({255, 255, 255}, base, lit);
  }
}

TEST_F(Preview, ResultAboveOneIsDrawnAsFullIntensity) {
  inst->previewType = 0;
  Push(MODE_ADD, {255, 255, 255});
  Entry().on = 1;
  DrawPreview();
  auto base = [](int p) { return WhiteBase(0, p); };
  ExpectArea({0, 0, 0}, base, [](int) { return Rgb{255, 255, 255}; });
}

TEST_F(Preview, OnlyPixelsFullyInsideTheMaskAreDrawn) {
  const int rim = PREVIEW_PIXELS - CountMask(0) - CountMask(255);
  ASSERT_GT(rim, 0) << "the mask has no partly covered rim to test with";
  inst->previewType = 2; // a white background, which no ball pixel matches at the rim
  DrawWhileOpen([this] { Preview_Redraw(inst); });
  EXPECT_EQ(panel->pixelCalls, 2L * CountMask(255)) << "one pixel call per masked pixel and ball";
  // Rim pixels of the base ball outside the result ball's square keep the
  // background.
  int seen = 0;
  for (int r = 0; r < PREVIEW_RESULT_DY; ++r) {
    for (int c = 0; c < PREVIEW_SIZE; ++c) {
      const uint8_t a = alp_pix[r * PREVIEW_SIZE + c];
      if (a == 0 || a == 255) continue;
      EXPECT_EQ(panel->at(ox + c, oy + r), (Rgb{255, 255, 255}))
          << "rim pixel r" << r << " c" << c << " with coverage " << int(a) << " was drawn";
      ++seen;
    }
  }
  EXPECT_GT(seen, 0);
}

TEST_F(Preview, RedrawDrawsTheTwoDividersThenThePreview) {
  inst->previewType = 0;
  DrawWhileOpen([this] { panel->drawFunc(panel, panel->drawData); }, false);
  ASSERT_EQ(panel->borders.size(), 2u);
  const FakeBorder &v = panel->borders[0], &h = panel->borders[1];
  EXPECT_EQ((std::array<int, 5>{v.indent, v.x, v.y, v.width, v.height}),
            (std::array<int, 5>{0, 108, 0, 0, 212}))
      << "vertical divider";
  EXPECT_EQ((std::array<int, 5>{h.indent, h.x, h.y, h.width, h.height}),
            (std::array<int, 5>{0, 108, 212, 388, 0}))
      << "horizontal divider";
  auto base = [](int p) { return WhiteBase(0, p); };
  ExpectArea({0, 0, 0}, base, base);
}

TEST_F(Preview, EachDrawingFindsThePreviewAreaAfresh) {
  inst->previewType = 1;
  DrawWhileOpen([this] {
    Preview_Redraw(inst);
    panel->clearCanvas();
    panel->control(CTL_PREVIEW_AREA).x += 10; // the host moved the area
    panel->control(CTL_PREVIEW_AREA).y += 6;
    PreAns_Redraw(inst);
  });
  ox += 10;
  oy += 6;
  // Only the result ball was drawn, at the new place.
  auto untouched = [](int) {
    return Rgb{FakePanel::kUntouched, FakePanel::kUntouched, FakePanel::kUntouched};
  };
  ExpectArea(untouched(0), untouched, [](int p) { return WhiteBase(1, p); });
}

} // namespace
