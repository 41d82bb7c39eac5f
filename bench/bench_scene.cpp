// The benchmarks' frame and filter instance.
#include "bench_scene.h"

#include <cstdio>
#include <string>
#include <vector>

#include "filter.h"
#include "module.h"
#include "persist.h"
#include "stand_in_host.h"

namespace qx::bench {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kEntries = 8;
constexpr int kLayersPerEntry = 4;

// A cheap, repeatable spread of values in 0..1.
float hashValue(unsigned int x, unsigned int y, unsigned int salt) {
  unsigned int h = x * 73856093u ^ y * 19349663u ^ salt * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<float>(h & 0xFFFFu) / 65535.0f;
}

Frame makeFrame() {
  Frame frame(kWidth, kHeight);
  float *planes[kBufferSlots] = {};
  for (int b = 0; b < kBufferSlots; ++b) {
    if (b <= 14 || b >= 32) planes[b] = frame.mutablePlane(b);
  }
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x);
      // Eight vertical bands, one per entry.
      planes[0][i] = static_cast<float>(1 + x * kEntries / kWidth);
      for (int b = 1; b <= 14; ++b) {
        planes[b][i] =
            hashValue(static_cast<unsigned>(x), static_cast<unsigned>(y), static_cast<unsigned>(b));
      }
      // Most pixels are in some shadow, so that "Shadow" layers apply.
      planes[10][i] = 0.2f + 0.8f * planes[10][i];
      for (int c = 32; c < 36; ++c) {
        planes[c][i] =
            hashValue(static_cast<unsigned>(x), static_cast<unsigned>(y), static_cast<unsigned>(c));
      }
      planes[35][i] = 1.0f;
    }
  }
  return frame;
}

// Eight entries of four layers. The modes run through all ten in turn, so
// every entry mixes plain, HSV and "AmbientLight" layers; the last layer of
// every other entry is a "Shadow" layer.
std::vector<std::string> stateLines() {
  std::vector<std::string> lines;
  char text[160];
  std::snprintf(text, sizeof text, "-3 %d %d", kEntries, kEntries * kLayersPerEntry);
  lines.emplace_back(text);
  for (int e = 0; e < kEntries; ++e) {
    std::snprintf(text, sizeof text, "%lf %d ", static_cast<double>(e + 1), kLayersPerEntry);
    lines.emplace_back(text);
    for (int l = 0; l < kLayersPerEntry; ++l) {
      const int n = e * kLayersPerEntry + l;
      const int type = (l == kLayersPerEntry - 1 && e % 2 == 1) ? 1 : 0;
      const int mode = n % 10;
      const int inBuffer = 1 + n % 12;
      const int alphaBuffer = (n * 5) % 13;
      std::snprintf(text, sizeof text, "%d 1 %d %d %d %lf %d %d %d %d %lf %d", type, (n * 37) % 256,
                    (n * 91) % 256, (n * 53) % 256, 60.0 + n, mode, inBuffer, n % 2, alphaBuffer,
                    90.0, (n / 2) % 2);
      lines.emplace_back(text);
    }
  }
  return lines;
}

BenchScene *makeBenchScene() {
  Scene scene;
  for (int e = 0; e < kEntries; ++e) {
    SceneSurface surface;
    surface.name = "Surface" + std::to_string(e + 1);
    surface.specialBuffer = e + 1;
    surface.baseColor = std::array<double, 3>{0.5, 0.5, 0.5};
    scene.surfaces.push_back(surface);
  }
  // The host's services stay for the program's life: the module's global
  // lookup answers from them.
  static Host *host = new Host(scene);
  global_func = ServiceRegistry::lookupFunction();

  HostError error = nullptr;
  HostInstance instance = QXCreate(nullptr, nullptr, &error);
  if (instance == nullptr) {
    std::fprintf(stderr, "qx_bench: the module made no instance\n");
    std::abort();
  }
  LineSource source(stateLines());
  QXLoad(instance, source.state());
  (void)host;
  return new BenchScene{makeFrame(), instance};
}

} // namespace

const BenchScene &benchScene() {
  static const BenchScene *scene = makeBenchScene();
  return *scene;
}

} // namespace qx::bench
