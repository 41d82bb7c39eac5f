// The built-in demo scene, ray traced analytically: spheres on a ground plane
// under one key light, every host buffer filled the way a renderer fills it.
#include "frames/demo_scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/error.h"

namespace qx {

// The demo's scene file, examples/demo/scene.json, embedded at build time
// (cmake/embed-file.cmake).
std::string_view demoSceneFile();

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

// How a surface shades: what the renderer puts in the surface buffers besides
// the special-buffer value and the base colour, which the scene file gives.
struct Shading {
  const char *name;
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

// Material 0 is the ground; the spheres follow. Each is the scene surface of
// the same name.
const Shading kShadings[] = {
    {"Ground", 0.90, 0.05, 0.0, 0.0, 0.0},   {"RedBall", 0.80, 0.50, 0.0, 0.0, 0.0},
    {"MintBall", 0.85, 0.70, 0.0, 0.0, 0.0}, {"BlueBall", 0.85, 0.45, 0.3, 0.0, 0.0},
    {"Lamp", 0.60, 0.00, 0.0, 0.0, 1.0},     {"Glass", 0.50, 0.90, 0.1, 0.6, 0.0},
};
constexpr int kMaterialCount = static_cast<int>(std::size(kShadings));

// A material as the frame sees it: its shading and its scene surface's values.
struct Material {
  Shading shading;
  double special; // "SpecialBuffer1"
  Vec base;       // "BaseColor"
};
using Materials = std::array<Material, kMaterialCount>;

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
    shadow = std::max(shadow, cover * (1.0 - kShadings[s.material].transparency));
  }
  return shadow;
}

Vec sky(Vec dir) {
  const double up = clamp01(dir.y * 2.5);
  return Vec{0.86, 0.88, 0.92} * (1.0 - up) + Vec{0.46, 0.62, 0.88} * up;
}

// The ground's surface colour: the base colour in a soft checker.
Vec groundColor(const Materials &materials, Vec point) {
  const int cell = static_cast<int>(std::floor(point.x * 0.9) + std::floor(point.z * 0.9));
  return materials[0].base * ((cell & 1) != 0 ? 0.82 : 1.0);
}

// The plain shading of what a ray sees, and the buffers of its first hit.
Vec trace(const Materials &materials, Vec origin, Vec dir, int skip, Sample *buffers) {
  const Hit hit = intersect(origin, dir, skip);
  if (hit.t < 0.0) {
    const Vec c = sky(dir);
    if (buffers != nullptr) buffers->values[12] = static_cast<float>(kBackgroundDepth);
    return c;
  }
  const Material &material = materials[hit.sphere < 0 ? 0 : kSpheres[hit.sphere].material];
  const Shading &m = material.shading;
  const Vec base = hit.sphere < 0 ? groundColor(materials, hit.point) : material.base;
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
    const Vec behind = trace(materials, hit.point, dir, hit.sphere, nullptr);
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
    v[0] = static_cast<float>(material.special);
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
bool demoBuffer(int b) { return b <= 14 || b >= HOST_BUF_RED; }

// The embedded scene. It is part of the program, so a fault in it is an
// internal error, not one the user could mend.
Scene demoSceneFromFile() {
  const char *const source = "the built-in demo scene (examples/demo/scene.json)";
  try {
    return Scene::parse(std::string(demoSceneFile()), source);
  } catch (const Error &e) {
    throw std::logic_error(e.what());
  }
}

// Each material's scene surface, found by name. Throws std::logic_error when
// the scene lacks one, or its special-buffer value or base colour.
Materials materialsOf(const Scene &scene) {
  Materials materials;
  for (int i = 0; i < kMaterialCount; ++i) {
    const Shading &shading = kShadings[i];
    const auto surface =
        std::find_if(scene.surfaces.begin(), scene.surfaces.end(),
                     [&](const SceneSurface &s) { return s.name == shading.name; });
    if (surface == scene.surfaces.end() || !surface->specialBuffer || !surface->baseColor) {
      throw std::logic_error(std::string("the built-in demo scene has no surface \"") +
                             shading.name + "\" with \"SpecialBuffer1\" and \"BaseColor\"");
    }
    const std::array<double, 3> &rgb = *surface->baseColor;
    materials[i] = Material{shading, *surface->specialBuffer, Vec{rgb[0], rgb[1], rgb[2]}};
  }
  return materials;
}

} // namespace

DemoScene makeDemoScene(int width, int height) {
  DemoScene demo;
  demo.scene = demoSceneFromFile();
  const Materials materials = materialsOf(demo.scene);
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
        colour = colour + trace(materials, eye, ray(x + o[0], y + o[1]), -2, &s);
        for (int b = 1; b <= 14; ++b) sum[b] += s.values[b];
      }
      Sample centre;
      trace(materials, eye, ray(x + 0.5, y + 0.5), -2, &centre);
      const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x);
      planes[0][i] = centre.values[0];
      for (int b = 1; b <= 14; ++b) planes[b][i] = static_cast<float>(sum[b] / 4.0);
      planes[HOST_BUF_RED][i] = static_cast<float>(colour.x / 4.0);
      planes[HOST_BUF_GREEN][i] = static_cast<float>(colour.y / 4.0);
      planes[HOST_BUF_BLUE][i] = static_cast<float>(colour.z / 4.0);
      planes[HOST_BUF_ALPHA][i] = 1.0f;
    }
  }

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
  for (int c = HOST_BUF_RED; c <= HOST_BUF_ALPHA; ++c) {
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
