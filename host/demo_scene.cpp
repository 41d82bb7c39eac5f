// The built-in demo scene, ray traced analytically: spheres on a ground plane
// under one key light, every host buffer filled the way a renderer fills it.
#include "demo_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "error.h"

namespace qx {
namespace {

struct Vec {
  double x = 0.0, y = 0.0, z = 0.0;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec normalize(Vec a) { return a * (1.0 / std::sqrt(dot(a, a))); }
double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }
double smoothstep(double v) {
  v = clamp01(v);
  return v * v * (3.0 - 2.0 * v);
}

// A surface's parameters: what the renderer puts in the surface buffers.
struct Material {
  const char *name;
  double special; // "SpecialBuffer1"
  Vec base;       // "BaseColor"
  double diffuse;
  double specular;
  double reflective;
  double transparency;
  double luminous;
};

struct Sphere {
  Vec center;
  double radius;
  int material;
};

// Material 0 is the ground; the spheres follow.
const Material kMaterials[] = {
    {"Ground", 1.0, {0.80, 0.76, 0.70}, 0.90, 0.05, 0.0, 0.0, 0.0},
    {"RedBall", 2.0, {0.85, 0.16, 0.10}, 0.80, 0.50, 0.0, 0.0, 0.0},
    {"MintBall", 3.0, {0.25, 0.78, 0.55}, 0.85, 0.70, 0.0, 0.0, 0.0},
    {"BlueBall", 4.0, {0.18, 0.30, 0.88}, 0.85, 0.45, 0.3, 0.0, 0.0},
    {"Lamp", 5.0, {1.00, 0.78, 0.32}, 0.60, 0.00, 0.0, 0.0, 1.0},
    {"Glass", 6.0, {0.70, 0.88, 1.00}, 0.50, 0.90, 0.1, 0.6, 0.0},
};
constexpr int kMaterialCount = static_cast<int>(sizeof kMaterials / sizeof kMaterials[0]);

const Sphere kSpheres[] = {
    {{-2.70, 1.00, 0.60}, 1.00, 1}, {{-0.55, 0.75, -1.10}, 0.75, 2}, {{1.55, 1.30, 1.20}, 1.30, 3},
    {{3.30, 0.45, -1.30}, 0.45, 4}, {{0.95, 0.50, -2.40}, 0.50, 5},
};

const Vec kToLight = normalize({-0.60, 0.80, -0.45});
constexpr double kLightSize = 0.05; // angular radius of the key light, for soft shadows
constexpr double kShininess = 40.0;
constexpr double kBackgroundDepth = 1.0e4;

// Everything a primary ray brings back: one value per host buffer.
struct Sample {
  float values[kBufferSlots] = {};
};

struct Hit {
  double t = -1.0;
  int sphere = -1; // -1: the ground plane
  Vec point, normal;
};

// The nearest hit beyond a small offset, leaving out one sphere (a ray that
// passed through a transparent sphere goes on without it); t < 0 for none.
Hit intersect(Vec origin, Vec dir, int skip) {
  Hit best;
  for (int i = 0; i < static_cast<int>(std::size(kSpheres)); ++i) {
    if (i == skip) continue;
    const Sphere &s = kSpheres[i];
    const Vec oc = origin - s.center;
    const double b = dot(oc, dir);
    const double c = dot(oc, oc) - s.radius * s.radius;
    const double disc = b * b - c;
    if (disc < 0.0) continue;
    const double t = -b - std::sqrt(disc);
    if (t > 1e-6 && (best.t < 0.0 || t < best.t)) {
      best.t = t;
      best.sphere = i;
    }
  }
  if (dir.y < 0.0) {
    const double t = -origin.y / dir.y;
    if (t > 1e-6 && (best.t < 0.0 || t < best.t)) {
      best.t = t;
      best.sphere = -1;
    }
  }
  if (best.t > 0.0) {
    best.point = origin + dir * best.t;
    best.normal =
        best.sphere < 0 ? Vec{0, 1, 0} : normalize(best.point - kSpheres[best.sphere].center);
  }
  return best;
}

// How much of the key light the spheres hide from a point: 0 in full light,
// 1 in full shadow, with a penumbra that widens with the distance to the
// occluder. A transparent sphere hides only its opaque part.
double shadowAt(Vec point, int self) {
  double shadow = 0.0;
  for (int i = 0; i < static_cast<int>(std::size(kSpheres)); ++i) {
    if (i == self) continue;
    const Sphere &s = kSpheres[i];
    const double along = dot(s.center - point, kToLight);
    if (along <= 0.0) continue;
    const Vec closest = point + kToLight * along;
    const double miss = std::sqrt(dot(closest - s.center, closest - s.center));
    const double width = kLightSize * along + 1e-3;
    const double cover = smoothstep((s.radius + width - miss) / (2.0 * width));
    shadow = std::max(shadow, cover * (1.0 - kMaterials[s.material].transparency));
  }
  return shadow;
}

Vec sky(Vec dir) {
  const double up = clamp01(dir.y * 2.5);
  return Vec{0.86, 0.88, 0.92} * (1.0 - up) + Vec{0.46, 0.62, 0.88} * up;
}

// The ground's surface colour: the base colour in a soft checker.
Vec groundColor(Vec point) {
  const int cell = static_cast<int>(std::floor(point.x * 0.9) + std::floor(point.z * 0.9));
  return kMaterials[0].base * ((cell & 1) != 0 ? 0.82 : 1.0);
}

// The plain shading of what a ray sees, and the buffers of its first hit.
Vec trace(Vec origin, Vec dir, int skip, Sample *buffers) {
  const Hit hit = intersect(origin, dir, skip);
  if (hit.t < 0.0) {
    const Vec c = sky(dir);
    if (buffers != nullptr) buffers->values[12] = static_cast<float>(kBackgroundDepth);
    return c;
  }
  const Material &m = kMaterials[hit.sphere < 0 ? 0 : kSpheres[hit.sphere].material];
  const Vec base = hit.sphere < 0 ? groundColor(hit.point) : m.base;
  const Vec n = hit.normal;
  const double lambert = std::max(0.0, dot(n, kToLight));
  const double shadow = lambert > 0.0 ? shadowAt(hit.point, hit.sphere) : 0.0;
  const double diffuseShade = lambert * (1.0 - shadow);
  const Vec half = normalize(kToLight - dir);
  const double specularShade =
      lambert > 0.0 ? std::pow(std::max(0.0, dot(n, half)), kShininess) * (1.0 - shadow) : 0.0;
  const double ambient = 0.10 + 0.08 * n.y;
  const double shading = clamp01(ambient + diffuseShade);

  Vec colour = base * ((ambient + m.diffuse * diffuseShade) * (1.0 - m.luminous) + m.luminous) +
               Vec{1, 1, 1} * (m.specular * specularShade);
  if (m.transparency > 0.0) {
    const Vec behind = trace(hit.point, dir, hit.sphere, nullptr);
    const Vec tinted{behind.x * base.x, behind.y * base.y, behind.z * base.z};
    colour = colour * (1.0 - m.transparency) + tinted * m.transparency;
  }
  if (hit.sphere < 0) {
    // The far ground fades into the haze of the horizon.
    const double haze = clamp01((hit.t - 12.0) / 40.0);
    colour = colour * (1.0 - haze) + sky(Vec{dir.x, 0.0, dir.z}) * haze;
  }

  if (buffers != nullptr) {
    float *v = buffers->values;
    v[0] = static_cast<float>(m.special);
    v[1] = static_cast<float>(m.luminous);
    v[2] = static_cast<float>(m.diffuse);
    v[3] = static_cast<float>(m.specular);
    v[4] = static_cast<float>(m.reflective);
    v[5] = static_cast<float>(m.transparency);
    v[6] = static_cast<float>(base.x);
    v[7] = static_cast<float>(base.y);
    v[8] = static_cast<float>(base.z);
    v[9] = static_cast<float>(shading);
    v[10] = static_cast<float>(shadow);
    v[11] = static_cast<float>(std::max(0.0, -dot(n, dir)));
    v[12] = static_cast<float>(hit.t);
    v[13] = static_cast<float>(diffuseShade);
    v[14] = static_cast<float>(specularShade);
  }
  return colour;
}

// The buffers the demo frame holds: 0 to 14 and the colour.
bool demoBuffer(int b) { return b <= 14 || b >= 32; }

// One layer line of the scene state.
struct LayerLine {
  int type, active, r, g, b;
  double intensity;
  int mode, inBuffer, invert, alphaBuffer;
  double alphaIntensity;
  int alphaInvert;
};

// Blend mode and buffer indices, as stored.
enum { AMBIENT = 0, ADD, SUB, MULTIPLY, DIFFERENCE, SCREEN, OVERLAY, HUE, SATURATION, VALUE };
enum {
  NONE = 0,
  ALPHA,
  LUMINOUS,
  DIFFUSE,
  SPECULAR,
  REFLECTIVE,
  TRANSPARENCY,
  SHADING,
  DIFFUSE_SHADE,
  SPECULAR_SHADE,
  SHADOW,
  GEOMETRY,
  DEPTH
};

struct EntryLines {
  double value;
  std::vector<LayerLine> layers; // position 0 first: applied last
};

// The demo's layer stacks, one entry per surface.
std::vector<EntryLines> demoEntries() {
  return {
      // Ground: warm where the key light falls, fading out towards the
      // horizon with the facing ratio, and a cool blue tint in the cast
      // shadows (a "Shadow" layer, applied only where there is shadow).
      {1.0,
       {
           {0, 1, 255, 200, 140, 60.0, OVERLAY, SHADING, 0, GEOMETRY, 250.0, 0},
           {1, 1, 110, 135, 255, 100.0, MULTIPLY, SHADOW, 0, NONE, 100.0, 0},
       }},
      // Red ball: a warm fill light on its dark side and a hue shift to
      // violet towards the rim.
      {2.0,
       {
           {0, 1, 170, 60, 255, 100.0, HUE, GEOMETRY, 1, NONE, 100.0, 0},
           {0, 1, 255, 170, 120, 60.0, AMBIENT, NONE, 0, NONE, 100.0, 0},
       }},
      // Mint ball: its lit side multiplied golden, and a pale blue rim light
      // screened in where the surface turns away.
      {3.0,
       {
           {0, 1, 150, 220, 255, 100.0, SCREEN, GEOMETRY, 1, NONE, 100.0, 0},
           {0, 1, 255, 200, 80, 100.0, MULTIPLY, SHADING, 0, NONE, 100.0, 0},
       }},
      // Blue ball: a dark toon outline subtracted at the rim (the inverted
      // facing ratio twice, as input and as alpha, keeps it narrow), and the
      // lit side brightened by an overlay of pale cyan.
      {4.0,
       {
           {0, 1, 0, 110, 220, 100.0, SUB, GEOMETRY, 1, GEOMETRY, 100.0, 1},
           {0, 1, 150, 230, 255, 100.0, OVERLAY, DIFFUSE_SHADE, 0, NONE, 100.0, 0},
       }},
      // Lamp: lifted to full value, then a hot orange glow added at the rim.
      {5.0,
       {
           {0, 1, 255, 110, 30, 100.0, ADD, GEOMETRY, 1, NONE, 100.0, 0},
           {0, 1, 255, 255, 255, 100.0, VALUE, NONE, 0, NONE, 100.0, 0},
       }},
      // Glass: pushed to full saturation, then turned over by a difference
      // with orange, both as far as it is transparent.
      {6.0,
       {
           {0, 1, 255, 120, 40, 100.0, DIFFERENCE, TRANSPARENCY, 0, NONE, 100.0, 0},
           {0, 1, 0, 255, 255, 100.0, SATURATION, TRANSPARENCY, 0, NONE, 100.0, 0},
       }},
  };
}

std::vector<std::string> stateLines(const std::vector<EntryLines> &entries) {
  std::size_t total = 0;
  for (const EntryLines &e : entries) total += e.layers.size();
  std::vector<std::string> lines;
  char text[160];
  std::snprintf(text, sizeof text, "%d %d %d", -3, static_cast<int>(entries.size()),
                static_cast<int>(total));
  lines.emplace_back(text);
  for (const EntryLines &e : entries) {
    std::snprintf(text, sizeof text, "%lf %d ", e.value, static_cast<int>(e.layers.size()));
    lines.emplace_back(text);
    for (const LayerLine &l : e.layers) {
      std::snprintf(text, sizeof text, "%d %d %d %d %d %lf %d %d %d %d %lf %d", l.type, l.active,
                    l.r, l.g, l.b, l.intensity, l.mode, l.inBuffer, l.invert, l.alphaBuffer,
                    l.alphaIntensity, l.alphaInvert);
      lines.emplace_back(text);
    }
  }
  return lines;
}

} // namespace

DemoScene makeDemoScene(int width, int height) {
  DemoScene demo;
  demo.frame = Frame(width, height);
  float *planes[kBufferSlots] = {};
  for (int b = 0; b < kBufferSlots; ++b) {
    if (demoBuffer(b)) planes[b] = demo.frame.mutablePlane(b);
  }

  // A camera above the ground looking slightly down at the spheres.
  const Vec eye{0.0, 2.1, -9.5};
  const Vec forward = normalize(Vec{0.0, 0.85, 0.0} - eye);
  const Vec right = normalize(cross(Vec{0, 1, 0}, forward));
  const Vec up = cross(forward, right);
  const double tanHalf = std::tan(0.5 * 32.0 * M_PI / 180.0);
  const double aspect = static_cast<double>(width) / height;
  auto ray = [&](double px, double py) {
    const double sx = (2.0 * px / width - 1.0) * tanHalf * aspect;
    const double sy = (1.0 - 2.0 * py / height) * tanHalf;
    return normalize(forward + right * sx + up * sy);
  };

  // Four samples a pixel smooth the edges of the colour and the continuous
  // buffers; the special-buffer value comes from the pixel's centre alone,
  // since the filter matches it exactly.
  const double offsets[4][2] = {{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum[kBufferSlots] = {};
      Vec colour;
      for (const auto &o : offsets) {
        Sample s;
        colour = colour + trace(eye, ray(x + o[0], y + o[1]), -2, &s);
        for (int b = 1; b <= 14; ++b) sum[b] += s.values[b];
      }
      Sample centre;
      trace(eye, ray(x + 0.5, y + 0.5), -2, &centre);
      const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x);
      planes[0][i] = centre.values[0];
      for (int b = 1; b <= 14; ++b) planes[b][i] = static_cast<float>(sum[b] / 4.0);
      planes[32][i] = static_cast<float>(colour.x / 4.0);
      planes[33][i] = static_cast<float>(colour.y / 4.0);
      planes[34][i] = static_cast<float>(colour.z / 4.0);
      planes[35][i] = 1.0f;
    }
  }

  for (int m = 0; m < kMaterialCount; ++m) {
    SceneSurface surface;
    surface.name = kMaterials[m].name;
    surface.specialBuffer = kMaterials[m].special;
    surface.baseColor =
        std::array<double, 3>{kMaterials[m].base.x, kMaterials[m].base.y, kMaterials[m].base.z};
    demo.scene.surfaces.push_back(surface);
  }
  demo.scene.filterState = stateLines(demoEntries());
  return demo;
}

Frame sideBySide(const Frame &left, const Frame &right) {
  if (left.height() != right.height()) {
    throw Error("cannot put a frame " + std::to_string(left.height()) + " high next to one " +
                std::to_string(right.height()) + " high");
  }
  Frame both(left.width() + right.width(), left.height());
  const std::size_t lw = static_cast<std::size_t>(left.width());
  const std::size_t rw = static_cast<std::size_t>(right.width());
  for (int c = 32; c < 36; ++c) {
    float *out = both.mutablePlane(c);
    const float *l = left.plane(c);
    const float *r = right.plane(c);
    for (std::size_t y = 0; y < static_cast<std::size_t>(left.height()); ++y) {
      float *row = out + y * (lw + rw);
      if (l != nullptr) std::copy(l + y * lw, l + (y + 1) * lw, row);
      if (r != nullptr) std::copy(r + y * rw, r + (y + 1) * rw, row + lw);
    }
  }
  return both;
}

} // namespace qx
