// The seven stored preview images, checked against the figures they are made
// to: the mask's pixel counts, row 32 and row 20 sampled at columns 0, 8,
// ..., 56, the symmetry about the main diagonal, the value ranges and zero
// regions, and how the images agree with one another. The model that renders
// them (tools/previewgen) does not reach every figure exactly; where it does
// not, the tolerance below says how far it may stray and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>

#include "preview.h"

namespace {

constexpr int kSize = PREVIEW_SIZE;

int At(const uint8_t *image, int row, int col) { return image[row * kSize + col]; }

// Distance of a pixel from the ball's centre, which lies between pixels 31 and
// 32 on both axes.
double Distance(int row, int col) { return std::hypot(col - 31.5, row - 31.5); }

// Height of the unit sphere of radius 31.5 over the pixel, 0 off the sphere.
double SphereZ(int row, int col) {
  double q = Distance(row, col) / 31.5;
  return q < 1.0 ? std::sqrt(1.0 - q * q) : 0.0;
}

bool Inside(int row, int col) { return At(alp_pix, row, col) == 255; }

struct NamedImage {
  const char *name;
  const uint8_t *pixels;
};

const NamedImage kImages[] = {
    {"alp_pix", alp_pix},   {"pre_pix", pre_pix},     {"dif_pix", dif_pix}, {"spc_pix", spc_pix},
    {"geom_pix", geom_pix}, {"depth_pix", depth_pix}, {"cel_pix", cel_pix}};

// Builds a failure message from a list of mismatches; empty when all match.
class Mismatches {
public:
  template <typename... Parts> void Add(const Parts &...parts) {
    ++count_;
    if (count_ <= 12) {
      (text_ << ... << parts);
      text_ << "\n";
    }
  }
  bool Empty() const { return count_ == 0; }
  std::string Text() const {
    std::string all = text_.str();
    if (count_ > 12) all += "... and " + std::to_string(count_ - 12) + " more\n";
    return all;
  }

private:
  int count_ = 0;
  std::ostringstream text_;
};

TEST(PreviewImages, MaskHasTheIntendedInsideOutsideAndRimCounts) {
  int inside = 0, outside = 0, rim = 0;
  for (int p = 0; p < PREVIEW_PIXELS; ++p) {
    if (alp_pix[p] == 255)
      ++inside;
    else if (alp_pix[p] == 0)
      ++outside;
    else
      ++rim;
  }
  // A disk centred between pixels is four-fold symmetric, so its counts come in
  // fours; the nearest split to 3054 / 790 is 3056 / 788.
  EXPECT_NEAR(inside, 3054, 2) << "pixels of alp_pix at 255";
  EXPECT_NEAR(outside, 790, 2) << "pixels of alp_pix at 0";
  EXPECT_EQ(rim, 252) << "pixels of alp_pix on the anti-aliased rim (1 to 254)";
}

TEST(PreviewImages, MaskReaches255OnRowsAndColumnsOneToSixtyTwoOnly) {
  for (int line = 0; line < kSize; ++line) {
    bool rowFull = false, colFull = false;
    for (int k = 0; k < kSize; ++k) {
      rowFull = rowFull || Inside(line, k);
      colFull = colFull || Inside(k, line);
    }
    bool expected = line >= 1 && line <= 62;
    EXPECT_EQ(rowFull, expected) << "whether alp_pix row " << line << " reaches 255";
    EXPECT_EQ(colFull, expected) << "whether alp_pix column " << line << " reaches 255";
  }
}

TEST(PreviewImages, RowSamplesMatchTheIntendedValues) {
  // Row 32 and row 20 at columns 0, 8, ..., 56, as the images are meant to be.
  struct Samples {
    const uint8_t *image;
    const char *name;
    int row32[8];
    int row20[8];
  };
  const Samples samples[] = {
      {alp_pix,
       "alp_pix",
       {196, 255, 255, 255, 255, 255, 255, 255},
       {0, 255, 255, 255, 255, 255, 255, 255}},
      {pre_pix,
       "pre_pix",
       {157, 219, 208, 188, 158, 125, 84, 29},
       {0, 255, 255, 255, 200, 163, 121, 63}},
      {dif_pix,
       "dif_pix",
       {157, 218, 205, 184, 158, 125, 84, 28},
       {0, 255, 243, 221, 195, 162, 120, 63}},
      {spc_pix, "spc_pix", {0, 0, 3, 3, 0, 0, 0, 0}, {0, 0, 157, 192, 5, 0, 0, 0}},
      {geom_pix,
       "geom_pix",
       {28, 168, 220, 247, 254, 245, 217, 161},
       {0, 142, 199, 228, 236, 226, 195, 132}},
      {depth_pix, "depth_pix", {144, 65, 25, 5, 0, 6, 27, 72}, {0, 88, 40, 19, 13, 20, 43, 96}},
      {cel_pix,
       "cel_pix",
       {255, 255, 255, 255, 179, 179, 178, 127},
       {0, 255, 255, 255, 255, 178, 179, 180}},
  };
  const int tolerance = 6; // levels either way
  Mismatches wrong;
  for (const Samples &s : samples) {
    for (int k = 0; k < 8; ++k) {
      int col = 8 * k;
      if (std::abs(At(s.image, 32, col) - s.row32[k]) > tolerance)
        wrong.Add(s.name, " row 32 column ", col, ": expected ", s.row32[k], " +-", tolerance,
                  ", got ", At(s.image, 32, col));
      if (std::abs(At(s.image, 20, col) - s.row20[k]) > tolerance)
        wrong.Add(s.name, " row 20 column ", col, ": expected ", s.row20[k], " +-", tolerance,
                  ", got ", At(s.image, 20, col));
    }
  }
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
}

TEST(PreviewImages, EveryImageIsSymmetricAboutTheMainDiagonal) {
  const int tolerance = 3; // "within a few levels"
  for (const NamedImage &image : kImages) {
    Mismatches wrong;
    for (int r = 0; r < kSize; ++r)
      for (int c = r + 1; c < kSize; ++c)
        if (std::abs(At(image.pixels, r, c) - At(image.pixels, c, r)) > tolerance)
          wrong.Add(image.name, " (row ", r, ", column ", c, ") is ", At(image.pixels, r, c),
                    " but its mirror (row ", c, ", column ", r, ") is ", At(image.pixels, c, r));
    EXPECT_TRUE(wrong.Empty()) << wrong.Text();
  }
}

TEST(PreviewImages, EveryImageButCelIsZeroWhereTheMaskIsZero) {
  for (const NamedImage &image : kImages) {
    if (image.pixels == cel_pix) continue;
    Mismatches wrong;
    for (int r = 0; r < kSize; ++r)
      for (int c = 0; c < kSize; ++c)
        if (At(alp_pix, r, c) == 0 && At(image.pixels, r, c) != 0)
          wrong.Add(image.name, " (row ", r, ", column ", c, ") is ", At(image.pixels, r, c),
                    " outside the ball, expected 0");
    EXPECT_TRUE(wrong.Empty()) << wrong.Text();
  }
}

TEST(PreviewImages, CelOutlineIsOnePixelWiderThanTheMask) {
  int beyond = 0;
  Mismatches wrong;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      if (At(alp_pix, r, c) != 0 || At(cel_pix, r, c) == 0) continue;
      ++beyond;
      bool touchesBall = false;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
          int rr = r + dr, cc = c + dc;
          if (rr >= 0 && rr < kSize && cc >= 0 && cc < kSize && At(alp_pix, rr, cc) != 0)
            touchesBall = true;
        }
      if (!touchesBall)
        wrong.Add("cel_pix (row ", r, ", column ", c, ") is ", At(cel_pix, r, c),
                  " more than one pixel outside the ball");
    }
  }
  // Target: 106 pixels; the model's symmetric outline gives counts in fours.
  EXPECT_NEAR(beyond, 106, 4) << "pixels where cel_pix is non-zero and alp_pix is 0";
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
}

TEST(PreviewImages, TotalShadingSaturatesUpperLeftAndDarkensTowardsTheLowerRight) {
  int saturated = 0;
  int darkest = 255, darkestUpperLeft = 255, darkestLowerRight = 255;
  Mismatches wrong;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      int v = At(pre_pix, r, c);
      if (v == 255) {
        ++saturated;
        // Intended as rows 4 to 28 and columns 4 to 27; the model is
        // symmetric, so both get 4 to 28.
        if (r < 4 || r > 28 || c < 4 || c > 28)
          wrong.Add("pre_pix saturates at (row ", r, ", column ", c,
                    "), outside rows and columns 4 to 28");
      }
      if (!Inside(r, c)) continue;
      darkest = std::min(darkest, v);
      if (r < 32 && c < 32) darkestUpperLeft = std::min(darkestUpperLeft, v);
      if (r >= 32 && c >= 32) darkestLowerRight = std::min(darkestLowerRight, v);
    }
  }
  EXPECT_GT(saturated, 0) << "pre_pix has no saturated region";
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
  EXPECT_NEAR(darkest, 12, 3) << "darkest pre_pix inside the ball";
  EXPECT_EQ(darkestLowerRight, darkest) << "darkest pre_pix of the lower-right quadrant";
  EXPECT_GE(darkestUpperLeft, 128) << "darkest pre_pix of the lit upper-left quadrant";

  // Down the diagonal from the brightest point the shading never rises again.
  for (int k = 12; k + 1 < kSize && Inside(k + 1, k + 1); ++k)
    EXPECT_LE(At(pre_pix, k + 1, k + 1), At(pre_pix, k, k))
        << "pre_pix rises along the diagonal at row and column " << k + 1;
}

TEST(PreviewImages, DiffuseEqualsTotalShadingAwayFromTheHighlight) {
  Mismatches wrong;
  int diffuseSaturated = 0, totalSaturated = 0;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      int total = At(pre_pix, r, c), diffuse = At(dif_pix, r, c);
      bool nearHighlight = r >= 10 && r <= 33 && c >= 10 && c <= 33;
      if (!nearHighlight && std::abs(total - diffuse) > 2)
        wrong.Add("(row ", r, ", column ", c, ") pre_pix ", total, " and dif_pix ", diffuse,
                  " differ by more than 2 away from the highlight");
      if (nearHighlight && (total < diffuse - 2 || total > diffuse + 52))
        wrong.Add("(row ", r, ", column ", c, ") pre_pix ", total, " against dif_pix ", diffuse,
                  ": expected 0 to 52 brighter near the highlight");
      if (diffuse == 255) {
        ++diffuseSaturated;
        if (r < 4 || r > 21 || c < 4 || c > 21)
          wrong.Add("dif_pix saturates at (row ", r, ", column ", c,
                    "), outside rows and columns 4 to 21");
      }
      if (total == 255) ++totalSaturated;
    }
  }
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
  EXPECT_GT(diffuseSaturated, 0) << "dif_pix has no saturated region";
  EXPECT_LT(diffuseSaturated, totalSaturated)
      << "the saturated region of dif_pix must be smaller than that of pre_pix";
}

TEST(PreviewImages, HighlightIsABoundedSpotWithAPlateauNearRow20Column21) {
  EXPECT_EQ(At(spc_pix, 20, 21), 255) << "spc_pix plateau at row 20, column 21";
  EXPECT_EQ(At(spc_pix, 21, 20), 255) << "spc_pix plateau at row 21, column 20";

  int zeros = 0;
  Mismatches wrong;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      if (At(spc_pix, r, c) == 0) {
        ++zeros;
      } else if (r < 9 || r > 34 || c < 9 || c > 34) {
        wrong.Add("spc_pix (row ", r, ", column ", c, ") is ", At(spc_pix, r, c),
                  ", but the highlight lies within rows and columns 9 to 34");
      }
    }
  }
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
  // Target: 3592. The model's spot is slightly smaller (3631 zero pixels).
  EXPECT_NEAR(zeros, 3592, 50) << "zero pixels of spc_pix";

  // From the plateau the spot falls off steadily in both directions of row 20
  // and is gone 12 pixels to the left.
  for (int c = 21; c > 0; --c)
    EXPECT_LE(At(spc_pix, 20, c - 1), At(spc_pix, 20, c))
        << "spc_pix rises leftwards along row 20 at column " << c - 1;
  for (int c = 21; c + 1 < kSize; ++c)
    EXPECT_LE(At(spc_pix, 20, c + 1), At(spc_pix, 20, c))
        << "spc_pix rises rightwards along row 20 at column " << c + 1;
  EXPECT_GT(At(spc_pix, 20, 15), At(spc_pix, 20, 13)) << "6 against 8 pixels from the plateau";
  EXPECT_GT(At(spc_pix, 20, 13), At(spc_pix, 20, 11)) << "8 against 10 pixels from the plateau";
  EXPECT_LE(At(spc_pix, 20, 9), 10 + 6) << "spc_pix 12 pixels left of the plateau";
}

TEST(PreviewImages, FacingRatioFollows254TimesZAndNeverReaches255) {
  double errorSum = 0;
  int counted = 0, largest = 0;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      largest = std::max(largest, At(geom_pix, r, c));
      if (!Inside(r, c) || Distance(r, c) >= 31.5) continue;
      errorSum += std::abs(At(geom_pix, r, c) - 254.0 * SphereZ(r, c));
      ++counted;
    }
  }
  EXPECT_LE(errorSum / counted, 2.0) << "mean distance of geom_pix from 254 z over the ball";
  EXPECT_EQ(largest, 254) << "largest geom_pix";
  for (int r : {31, 32})
    for (int c : {31, 32})
      EXPECT_EQ(At(geom_pix, r, c), 254) << "geom_pix at the centre, row " << r << " column " << c;
}

TEST(PreviewImages, DepthFollows199TimesOneMinusZWithAZeroCentre) {
  double errorSum = 0;
  int counted = 0, largest = 0, zeros = 0;
  Mismatches wrong;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      int v = At(depth_pix, r, c);
      largest = std::max(largest, v);
      if (!Inside(r, c)) continue;
      if (v == 0) {
        ++zeros;
        if (Distance(r, c) > 3.5)
          wrong.Add("depth_pix is 0 at (row ", r, ", column ", c, "), away from the centre");
      }
      if (Distance(r, c) >= 31.5) continue;
      errorSum += std::abs(v - 199.0 * (1.0 - SphereZ(r, c)));
      ++counted;
    }
  }
  EXPECT_LE(errorSum / counted, 2.0) << "mean distance of depth_pix from 199 (1 - z) over the ball";
  EXPECT_LE(largest, 177) << "largest depth_pix";
  EXPECT_GE(largest, 150) << "largest depth_pix, reached at the rim";
  // Target: 19. A zero region centred between pixels holds a multiple of
  // four pixels; the model has 16.
  EXPECT_NEAR(zeros, 19, 3) << "zero pixels of depth_pix inside the ball";
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
}

// The tone band of a cel_pix value: 2 for 255, 1 for about 179, 0 for about
// 128, -1 for anything else.
int CelBand(int v) {
  if (v == 255) return 2;
  if (v >= 177 && v <= 181) return 1;
  if (v >= 126 && v <= 132) return 0;
  return -1;
}

TEST(PreviewImages, CelLookHasThreeFlatTonesWithOnePixelTransitions) {
  int inBand[3] = {0, 0, 0};
  int inside = 0;
  Mismatches wrong;
  for (int r = 1; r + 1 < kSize; ++r) {
    for (int c = 1; c + 1 < kSize; ++c) {
      if (!Inside(r, c)) continue;
      ++inside;
      int v = At(cel_pix, r, c);
      int band = CelBand(v);
      if (band >= 0) {
        ++inBand[band];
        continue;
      }
      // A transition pixel away from the outline sits between two tones and
      // touches both of them.
      if (Distance(r, c) > 30.0) continue;
      bool above = false, below = false;
      for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
          int n = At(cel_pix, r + dr, c + dc);
          if (CelBand(n) >= 0 && n > v) above = true;
          if (CelBand(n) >= 0 && n < v) below = true;
        }
      if (!above || !below)
        wrong.Add("cel_pix (row ", r, ", column ", c, ") is ", v,
                  ", neither a tone nor between two neighbouring tones");
    }
  }
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
  const char *names[3] = {"about 128", "about 179", "255"};
  for (int band = 0; band < 3; ++band)
    EXPECT_GE(inBand[band], 300) << "cel_pix pixels of tone " << names[band];
  EXPECT_GE(inBand[0] + inBand[1] + inBand[2], inside * 9 / 10)
      << "cel_pix pixels on one of the three tones, of " << inside;
}

TEST(PreviewImages, CelToneFollowsTheTotalShading) {
  // Thresholds at about 170 and 55; 15 levels of margin keep clear of the
  // transition pixels.
  Mismatches wrong;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      if (!Inside(r, c)) continue;
      int shading = At(pre_pix, r, c), tone = At(cel_pix, r, c);
      int expected = shading >= 185                    ? 2
                     : shading >= 70 && shading <= 155 ? 1
                     : shading <= 40                   ? 0
                                                       : -1;
      if (expected >= 0 && CelBand(tone) != expected)
        wrong.Add("(row ", r, ", column ", c, ") pre_pix ", shading, " gives cel_pix ", tone,
                  ", expected the tone ",
                  expected == 2   ? "255"
                  : expected == 1 ? "179"
                                  : "128");
    }
  }
  EXPECT_TRUE(wrong.Empty()) << wrong.Text();
}

} // namespace
