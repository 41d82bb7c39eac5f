// qx_previewgen: renders the seven 64x64 preview images of the module from a
// sphere model and writes them as the C++ source module/preview_images.cpp.
//
// Usage: qx_previewgen OUTPUT       writes the source to the file OUTPUT
//        qx_previewgen              writes the source to stdout
//        qx_previewgen --summary    prints the telling figures of the images
// The committed file is refreshed with
//        cmake --build <build-dir> --target previewgen-update
//
// The model. A ball of silhouette radius R = `radius` is centred at (31.5,
// 31.5) in pixel coordinates (pixel (column c, row r) is centred at (c, r),
// row 0 at the top) and seen orthographically from the front. Its unit normal
// at offset (x, y) from the centre is N = (x/R, y/R, z), z = sqrt(1 - d^2/R^2),
// d = |(x, y)|; the viewer looks along +z. One light L comes from the upper
// left, along the diagonal from the upper-left corner, `elevation` above the
// picture plane, so every image is symmetric about that diagonal. Each pixel
// is the average of 16x16 samples over a box slightly wider than the pixel
// (`footprint`), as a renderer's anti-aliasing filter would take them; samples
// off the ball count as 0, so every image but cel_pix is 0 where alp_pix is.
//
//   alp_pix    covered fraction of the footprint, rounded up to the next
//              level, so that one covered sample makes the pixel non-zero.
//   dif_pix    wrapped Lambert diffuse with an ambient floor:
//              min(1, ambient + k * max(0, (N.L + wrap) / (1 + wrap))).
//   spc_pix    Phong highlight: clamp(ks * (R.V)^n - floor, 0, 1), R the
//              mirror direction of L; the floor ends it within a bounded spot.
//   pre_pix    total shading, min(1, diffuse + specular) per sample.
//   geom_pix   facing ratio, 254 * z'', with z'' taken on a sphere of radius
//              31.7 (0 beyond it).
//   depth_pix  depth behind the front of the ball, 199 * (1 - z'), with z'
//              taken on the nominal sphere of radius 31.5 (0 beyond it).
//              The silhouette radius that fits the mask makes the rim of the
//              depth image up to 10 levels too dark and the facing ratio about
//              2.5 levels too bright on average; these two smaller spheres
//              match the row samples and the stated 254 z and 199 (1 - z)
//              profiles (mean error 1.5 and 0.4 levels).
//   cel_pix    the total shading of each sample quantised into three tones
//              (255 from 170 up, 179 from 55 up, 128 below) and averaged, so
//              band edges get one soft pixel. Its outline is the wider radius
//              `celRadius`; samples beyond the ball take the silhouette's
//              shading.
//
// Where the model departs from the figures it was tuned to (wanted, achieved):
//   - alp_pix: 3054 / 790 / 252 pixels inside / outside / on the rim; 3056 /
//     788 / 252. A disk centred between pixels has four-fold symmetry, so its
//     counts are multiples of four; this is the nearest such split. Row 32,
//     column 0: 196; 199.
//   - Row 32 and row 20 at columns 0, 8, ..., 56: every image within 5 levels.
//   - dif_pix saturates in rows and columns 6 to 19 (wanted 4 to 21 and 4 to
//     20), pre_pix in 6 to 28 (4 to 28 and 4 to 27); darkest value inside 11
//     (12); pre_pix exceeds dif_pix by up to 47 (52).
//   - spc_pix: 3631 zero pixels (3592), non-zero within rows and columns 9 to
//     33. Its plateau spans rows and columns 19 to 21. It falls off faster
//     than the wanted 160 / 77 / 32 / 10 at 6 / 8 / 10 / 12 pixels from the
//     plateau: along row 20 from column 21 it gives 115 / 45 / 9 / 0. A
//     highlight wide enough for that profile misses the row samples (157 and
//     192 at row 20, columns 16 and 24) and the zero region.
//   - depth_pix: 16 zero pixels at the centre (19, not a multiple of four);
//     largest value 175 (177).
//   - cel_pix: 108 non-zero pixels where alp_pix is 0 (106).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

namespace {

constexpr int kSize = 64;
constexpr int kPixels = kSize * kSize;
constexpr int kSamples = 16; // per axis of a pixel's footprint
constexpr double kCentre = 31.5;
constexpr double kPi = 3.14159265358979323846;

using Image = std::array<std::uint8_t, kPixels>;

struct BallModel {
  double radius = 31.8125;    // silhouette, pixels
  double footprint = 1.10;    // side of a pixel's sampling box, pixels
  double elevation = kPi / 6; // of the light above the picture plane
  double ambient = 0.045;     // diffuse level where the light does not reach
  double diffuseScale = 0.985;
  double wrap = 0.25; // how far past the terminator the diffuse light reaches
  double specularScale = 1.1;
  double shininess = 13.0;
  double specularFloor = 0.0115;
  double geomScale = 254.0;
  double facingRadius = 31.7;
  double depthScale = 199.0;
  double depthRadius = 31.5;
  double celRadius = 32.59;
  double celHigh = 170.0 / 255; // total shading from which the tone is 255
  double celLow = 55.0 / 255;   // total shading from which the tone is 179
};

struct Images {
  Image alp{}, pre{}, dif{}, spc{}, geom{}, depth{}, cel{};
};

struct Shading {
  double diffuse, specular, facing, depth;
};

// Shading of the ball at offset (x, y) from the centre; beyond the silhouette
// the normal is taken at the silhouette (z = 0).
Shading shade(const BallModel &m, double x, double y) {
  double d = std::hypot(x, y);
  double nx = x / m.radius, ny = y / m.radius;
  if (d > m.radius) {
    nx = x / d;
    ny = y / d;
  }
  double nz = std::sqrt(std::max(0.0, 1.0 - nx * nx - ny * ny));

  double lxy = -std::cos(m.elevation) / std::sqrt(2.0); // towards the upper left
  double lz = std::sin(m.elevation);
  double nDotL = nx * lxy + ny * lxy + nz * lz;

  double wrapped = std::max(0.0, (nDotL + m.wrap) / (1.0 + m.wrap));
  double diffuse = std::min(1.0, m.ambient + m.diffuseScale * wrapped);

  // Mirror direction of the light, seen along the view axis (0, 0, 1).
  double rDotV = 2.0 * nDotL * nz - lz;
  double specular = 0.0;
  if (rDotV > 0.0)
    specular =
        std::clamp(m.specularScale * std::pow(rDotV, m.shininess) - m.specularFloor, 0.0, 1.0);
  // The facing ratio and the depth are measured on slightly smaller spheres
  // than the silhouette; see the notes at the top.
  auto height = [d](double r) { return std::sqrt(std::max(0.0, 1.0 - d * d / (r * r))); };
  double facing = height(m.facingRadius);
  double depth = 1.0 - height(m.depthRadius);
  return {diffuse, specular, facing, depth};
}

double celTone(const BallModel &m, double shading) {
  if (shading >= m.celHigh) return 1.0;
  if (shading >= m.celLow) return 179.0 / 255;
  return 128.0 / 255;
}

std::uint8_t toByte(double fraction) {
  return static_cast<std::uint8_t>(std::lround(std::clamp(fraction, 0.0, 1.0) * 255.0));
}

Images render(const BallModel &m) {
  Images out;
  const double r2 = m.radius * m.radius;
  const double cel2 = m.celRadius * m.celRadius;
  const double n = kSamples * kSamples;
  for (int row = 0; row < kSize; ++row) {
    for (int col = 0; col < kSize; ++col) {
      int covered = 0;
      double pre = 0, dif = 0, spc = 0, geom = 0, depth = 0, cel = 0;
      for (int i = 0; i < kSamples; ++i) {
        for (int j = 0; j < kSamples; ++j) {
          double x = col - kCentre + m.footprint * ((j + 0.5) / kSamples - 0.5);
          double y = row - kCentre + m.footprint * ((i + 0.5) / kSamples - 0.5);
          double d2 = x * x + y * y;
          if (d2 > cel2) continue;
          Shading s = shade(m, x, y);
          double total = std::min(1.0, s.diffuse + s.specular);
          cel += celTone(m, total);
          if (d2 > r2) continue;
          ++covered;
          pre += total;
          dif += s.diffuse;
          spc += s.specular;
          geom += s.facing;
          depth += s.depth;
        }
      }
      int p = row * kSize + col;
      // Rounded up: any covered sample makes the mask non-zero.
      out.alp[p] = static_cast<std::uint8_t>((covered * 255 + kSamples * kSamples - 1) /
                                             (kSamples * kSamples));
      out.pre[p] = toByte(pre / n);
      out.dif[p] = toByte(dif / n);
      out.spc[p] = toByte(spc / n);
      out.geom[p] = toByte(m.geomScale / 255 * geom / n);
      out.depth[p] = toByte(m.depthScale / 255 * depth / n);
      out.cel[p] = toByte(cel / n);
    }
  }
  return out;
}

void writeArray(std::ostream &os, const char *name, const char *what, const Image &img) {
  os << "\n// " << what << "\n";
  os << "const uint8_t " << name << "[PREVIEW_PIXELS] = {\n";
  char buf[8];
  for (int row = 0; row < kSize; ++row) {
    os << "    // row " << row << "\n";
    for (int col = 0; col < kSize; ++col) {
      if (col % 16 == 0) os << "    ";
      std::snprintf(buf, sizeof buf, "%3d,", img[static_cast<std::size_t>(row * kSize + col)]);
      os << buf;
      os << (col % 16 == 15 ? "\n" : " ");
    }
  }
  os << "};\n";
}

std::string source(const Images &img) {
  std::ostringstream os;
  os << "// The seven stored preview images: 64 rows of 64 greyscale pixels each, row 0\n"
        "// at the top, all showing the same ball lit from the upper left and the front.\n"
        "//\n"
        "// GENERATED FILE, do not edit. It is written by tools/previewgen (qx_previewgen);\n"
        "// regenerate it with `cmake --build <build-dir> --target previewgen-update`.\n"
        "#include \"preview.h\"\n"
        "\n"
        "// clang-format off\n";
  writeArray(os, "alp_pix", "Coverage mask of the ball.", img.alp);
  writeArray(os, "pre_pix", "Total shading: diffuse plus specular.", img.pre);
  writeArray(os, "dif_pix", "Diffuse shading.", img.dif);
  writeArray(os, "spc_pix", "Specular highlight.", img.spc);
  writeArray(os, "geom_pix", "Facing ratio of the surface.", img.geom);
  writeArray(os, "depth_pix", "Depth behind the front of the ball.", img.depth);
  writeArray(os, "cel_pix", "Cel-look shading in three tones.", img.cel);
  os << "\n// clang-format on\n";
  return os.str();
}

std::uint8_t at(const Image &img, int row, int col) {
  return img[static_cast<std::size_t>(row * kSize + col)];
}

// The telling figures of the images (counts, row samples, ranges, saturated
// and non-zero regions), for checking a retuned model.
void printSummary(std::ostream &os, const Images &img) {
  int in = 0, out = 0, rim = 0;
  for (auto v : img.alp) (v == 255 ? in : v == 0 ? out : rim)++;
  os << "alp_pix: " << in << " inside, " << out << " outside, " << rim << " rim\n";
  const std::pair<const char *, const Image *> named[] = {
      {"alp_pix", &img.alp}, {"pre_pix", &img.pre},   {"dif_pix", &img.dif},
      {"spc_pix", &img.spc}, {"geom_pix", &img.geom}, {"depth_pix", &img.depth},
      {"cel_pix", &img.cel}};
  for (const auto &[name, image] : named) {
    for (int row : {32, 20}) {
      os << name << " row " << row << ":";
      for (int c = 0; c < kSize; c += 8) os << ' ' << int{at(*image, row, c)};
      os << '\n';
    }
    int hi = 0, lo = 255, zeros = 0, outside = 0, asym = 0;
    int full[4] = {kSize, -1, kSize, -1}, lit[4] = {kSize, -1, kSize, -1};
    auto extend = [](int box[4], int r, int c) {
      box[0] = std::min(box[0], r), box[1] = std::max(box[1], r);
      box[2] = std::min(box[2], c), box[3] = std::max(box[3], c);
    };
    for (int r = 0; r < kSize; ++r) {
      for (int c = 0; c < kSize; ++c) {
        int v = at(*image, r, c);
        hi = std::max(hi, v);
        if (at(img.alp, r, c) == 255) lo = std::min(lo, v);
        if (v == 0) ++zeros;
        if (v != 0 && at(img.alp, r, c) == 0) ++outside;
        if (v != 0) extend(lit, r, c);
        if (v == 255) extend(full, r, c);
        asym = std::max(asym, std::abs(v - at(*image, c, r)));
      }
    }
    os << name << ": max " << hi << ", min where alp_pix is 255 " << lo << ", " << zeros
       << " zero, " << outside << " non-zero where alp_pix is 0, diagonal asymmetry " << asym
       << ", non-zero in rows " << lit[0] << ".." << lit[1] << " columns " << lit[2] << ".."
       << lit[3];
    if (full[1] >= 0)
      os << ", 255 in rows " << full[0] << ".." << full[1] << " columns " << full[2] << ".."
         << full[3];
    os << '\n';
  }
  int brighter = 0;
  for (int p = 0; p < kPixels; ++p) brighter = std::max(brighter, img.pre[p] - img.dif[p]);
  os << "pre_pix exceeds dif_pix by up to " << brighter << "\n";
  os << "spc_pix along row 20 from column 21 leftwards:";
  for (int c = 21; c >= 7; --c) os << ' ' << int{at(img.spc, 20, c)};
  os << '\n';
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 2) {
    std::cerr << "usage: qx_previewgen [OUTPUT | --summary]\n";
    return 2;
  }
  Images images = render(BallModel{});
  if (argc == 2 && std::string_view(argv[1]) == "--summary") {
    printSummary(std::cout, images);
    return 0;
  }
  std::string text = source(images);
  if (argc == 1) {
    std::cout << text;
    return std::cout.flush() ? 0 : 1;
  }
  // Write beside the target and rename, so a failed run never leaves a
  // truncated source behind.
  std::filesystem::path target(argv[1]);
  std::filesystem::path temporary = target;
  temporary += ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary);
    file << text;
    if (!file.flush()) {
      std::cerr << "qx_previewgen: " << temporary.string() << ": cannot write\n";
      return 1;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::cerr << "qx_previewgen: " << target.string() << ": " << error.message() << "\n";
    std::filesystem::remove(temporary, error);
    return 1;
  }
  return 0;
}
