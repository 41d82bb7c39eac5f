// The benchmarks' frames and filter instances.
#include "bench_scene.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "loader/filter.h"
#include "module.h"
#include "persist.h"
#include "stand_in/stand_in_host.h"

namespace qx::bench {
namespace {

constexpr int kStacks = 8; // W1's entries; W2 repeats their stacks
constexpr int kLayersPerEntry = 4;

// A cheap, repeatable spread of values in 0..1.
float hashValue(unsigned int x, unsigned int y, unsigned int salt) {
  unsigned int h = x * 73856093u ^ y * 19349663u ^ salt * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<float>(h & 0xFFFFu) / 65535.0f;
}

int entryCount(Workload workload) {
  return workload == Workload::W2 || workload == Workload::W2first ? 256 : kStacks;
}

// The special-buffer value of a pixel.
float pixelValue(Workload workload, int x, int y, int width) {
  switch (workload) {
  case Workload::W1r:
    return static_cast<float>(
        1 + static_cast<int>(hashValue(static_cast<unsigned>(x), static_cast<unsigned>(y), 99u) *
                             (kStacks - 0.001f)));
  case Workload::W2:
  case Workload::W2first:
    return 256.0f; // the last entry of W2, the first of W2first
  default:
    return static_cast<float>(1 + x * kStacks / width); // eight vertical bands
  }
}

Frame makeFrame(Workload workload, int width, int height) {
  Frame frame(width, height);
  float *planes[kBufferSlots] = {};
  for (int b = 0; b < kBufferSlots; ++b) {
    if (b <= 14 || b >= 32) planes[b] = frame.mutablePlane(b);
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x);
      planes[0][i] = pixelValue(workload, x, y, width);
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

// Entries of four layers, values 1, 2, ... (W2first: from the highest down).
// Stack s of eight: the modes run through all ten in turn, so every stack
// mixes plain, HSV and "AmbientLight" layers; the last layer of every other
// stack is a "Shadow" layer.
std::vector<std::string> stateLines(Workload workload) {
  const int entries = entryCount(workload);
  std::vector<std::string> lines;
  char text[160];
  std::snprintf(text, sizeof text, "-3 %d %d", entries, entries * kLayersPerEntry);
  lines.emplace_back(text);
  for (int k = 0; k < entries; ++k) {
    const int value = workload == Workload::W2first ? entries - k : k + 1;
    const int e = (value - 1) % kStacks;
    std::snprintf(text, sizeof text, "%lf %d ", static_cast<double>(value), kLayersPerEntry);
    lines.emplace_back(text);
    for (int l = 0; l < kLayersPerEntry; ++l) {
      const int n = e * kLayersPerEntry + l;
      const int type = (l == kLayersPerEntry - 1 && e % 2 == 1) ? 1 : 0;
      const int mode = n % MODE_COUNT;
      const int inBuffer = 1 + n % (BUF_INDEX_COUNT - 1);
      const int alphaBuffer = (n * 5) % BUF_INDEX_COUNT;
      std::snprintf(text, sizeof text, "%d 1 %d %d %d %lf %d %d %d %d %lf %d", type, (n * 37) % 256,
                    (n * 91) % 256, (n * 53) % 256, 60.0 + n, mode, inBuffer, n % 2, alphaBuffer,
                    90.0, (n / 2) % 2);
      lines.emplace_back(text);
    }
  }
  return lines;
}

// Surfaces of the first eight values.
Scene surfaces() {
  Scene scene;
  for (int e = 0; e < kStacks; ++e) {
    SceneSurface surface;
    surface.name = "Surface" + std::to_string(e + 1);
    surface.specialBuffer = e + 1;
    surface.baseColor = std::array<double, 3>{0.5, 0.5, 0.5};
    scene.surfaces.push_back(surface);
  }
  return scene;
}

HostInstance makeInstance(Workload workload) {
  // The host's services stay for the program's life: the module's global
  // lookup answers from them.
  static Host *host = new Host(surfaces());
  (void)host;
  global_func = ServiceRegistry::lookupFunction();

  HostError error = nullptr;
  HostInstance instance = QXCreate(nullptr, nullptr, &error);
  if (instance == nullptr) {
    std::fprintf(stderr, "qx_bench: the module made no instance\n");
    std::abort();
  }
  LineSource source(stateLines(workload));
  QXLoad(instance, source.state());
  return instance;
}

} // namespace

const char *workloadName(Workload workload) {
  switch (workload) {
  case Workload::W1:
    return "W1";
  case Workload::W1r:
    return "W1r";
  case Workload::W2:
    return "W2";
  case Workload::W2first:
    return "W2first";
  case Workload::W3:
    return "W3";
  }
  return "?";
}

bool workloadFromName(const std::string &name, Workload &workload) {
  for (Workload w : {Workload::W1, Workload::W1r, Workload::W2, Workload::W2first, Workload::W3}) {
    if (name == workloadName(w)) {
      workload = w;
      return true;
    }
  }
  return false;
}

Scene workloadScene(Workload workload) {
  Scene scene = surfaces();
  scene.filterState = stateLines(workload);
  return scene;
}

BenchScene makeBenchScene(Workload workload, int width, int height) {
  return BenchScene{makeFrame(workload, width, height), makeInstance(workload)};
}

const BenchScene &benchScene(Workload workload) {
  static std::map<Workload, std::unique_ptr<BenchScene>> scenes;
  std::unique_ptr<BenchScene> &scene = scenes[workload];
  if (!scene) {
    const bool fourK = workload == Workload::W3;
    scene = std::make_unique<BenchScene>(
        makeBenchScene(workload, fourK ? 3840 : 1920, fourK ? 2160 : 1080));
  }
  return *scene;
}

} // namespace qx::bench
