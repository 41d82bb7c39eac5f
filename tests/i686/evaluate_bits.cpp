// The filter's evaluation over random stacks and random pixels, reduced to
// one hash of every float bit it writes. scripts/test-i686 builds it twice,
// for x86-64 and for i686 with SSE2 as the Windows build is compiled, and
// the two must print the same line: the 32-bit build gives the same floats.
//
// Each of 200 scenes loads a random stored state (up to 14 entries, values 1
// to 14, of up to five layers with every mode, buffer, inversion, type and
// percentages up to 160) into an instance whose host has surfaces of values
// 1 to 12; 2000 pixels then go through QXEvaluate with random buffers and a
// special-buffer value of 1 to 16.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "effect.h"
#include "module.h"
#include "persist.h"

namespace {

uint32_t seed = 12345;
int Below(int n) {
  seed = seed * 1664525u + 1013904223u;
  return static_cast<int>((seed >> 8) % static_cast<uint32_t>(n));
}

// Zero, one, negatives, values above one and fractions.
float BufferValue() {
  switch (Below(6)) {
  case 0:
    return 0.0f;
  case 1:
    return 1.0f;
  case 2:
    return -static_cast<float>(Below(1000)) / 997.0f;
  case 3:
    return static_cast<float>(Below(5000)) / 1009.0f;
  default:
    return static_cast<float>(Below(100000)) / 99991.0f;
  }
}

// The stored state being loaded.
std::vector<std::string> stored;
std::size_t nextLine = 0;
int ReadLine(void *, char *buffer, int capacity) {
  if (nextLine >= stored.size()) {
    buffer[0] = '\0';
    return -1;
  }
  std::snprintf(buffer, static_cast<std::size_t>(capacity), "%s", stored[nextLine++].c_str());
  return static_cast<int>(std::strlen(buffer));
}

// The host's surfaces: special-buffer values 1 to 12.
constexpr int kSurfaces = 12;
double surfaceValues[kSurfaces];
double baseColor[3] = {0.5, 0.25, 0.75};
HostSurfaceID FirstSurface() { return &surfaceValues[0]; }
HostSurfaceID NextSurface(HostSurfaceID surface) {
  double *value = static_cast<double *>(surface);
  return value + 1 < surfaceValues + kSurfaces ? value + 1 : nullptr;
}
const char *SurfaceName(HostSurfaceID) { return "Surface"; }
double *SurfaceFloat(HostSurfaceID surface, const char *attribute) {
  if (std::strcmp(attribute, "SpecialBuffer1") == 0) return static_cast<double *>(surface);
  if (std::strcmp(attribute, "BaseColor") == 0) return baseColor;
  return nullptr;
}
HostSurfaceFuncs surfaceFuncs = {FirstSurface, NextSurface, SurfaceName, SurfaceFloat};
void *Lookup(const char *service, int) {
  return std::strcmp(service, HOST_SURFACE_FUNCS) == 0 ? &surfaceFuncs : nullptr;
}

// The pixel's buffers, and the hash of what the filter writes.
float buffers[HOST_BUF_ALPHA + 1];
uint64_t hash = 1469598103934665603ull; // FNV-1a
long written = 0;
void GetVal(const HostPixelAccess *, int buffer, int count, float *out) {
  for (int i = 0; i < count; ++i) {
    const int b = buffer + i;
    out[i] = b >= 0 && b <= HOST_BUF_ALPHA ? buffers[b] : 0.0f;
  }
}
void SetRGBA(const HostPixelAccess *, const float rgba[4]) {
  for (int c = 0; c < 4; ++c) {
    uint32_t bits;
    std::memcpy(&bits, &rgba[c], sizeof bits);
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (bits >> (8 * byte)) & 0xffu;
      hash *= 1099511628211ull;
    }
  }
  ++written;
}

void MakeState() {
  const int entries = 1 + Below(14);
  int layers = 0;
  std::vector<std::string> body;
  char text[200];
  for (int e = 0; e < entries; ++e) {
    const int count = Below(6);
    layers += count;
    std::snprintf(text, sizeof text, "%lf %d ", static_cast<double>(e + 1), count);
    body.emplace_back(text);
    for (int l = 0; l < count; ++l) {
      const int type = Below(2), active = Below(5) != 0 ? 1 : 0;
      const int r = Below(256), g = Below(256), b = Below(256);
      const double intensity = Below(1600) / 10.0;
      const int mode = Below(MODE_COUNT), input = Below(BUF_INDEX_COUNT), invert = Below(2),
                alpha = Below(BUF_INDEX_COUNT);
      const double alphaIntensity = Below(1600) / 10.0;
      const int alphaInvert = Below(2);
      std::snprintf(text, sizeof text, "%d %d %d %d %d %lf %d %d %d %d %lf %d", type, active, r, g,
                    b, intensity, mode, input, invert, alpha, alphaIntensity, alphaInvert);
      body.emplace_back(text);
    }
  }
  std::snprintf(text, sizeof text, "-3 %d %d", entries, layers);
  stored.assign(1, text);
  stored.insert(stored.end(), body.begin(), body.end());
  nextLine = 0;
}

} // namespace

int main() {
  for (int i = 0; i < kSurfaces; ++i) surfaceValues[i] = i + 1;
  global_func = Lookup;
  for (int scene = 0; scene < 200; ++scene) {
    MakeState();
    HostError error = nullptr;
    HostInstance instance = QXCreate(nullptr, nullptr, &error);
    if (instance == nullptr) {
      std::fprintf(stderr, "evaluate_bits: the module made no instance\n");
      return 1;
    }
    const HostLoadState load = {nullptr, ReadLine};
    QXLoad(instance, &load);
    for (int p = 0; p < 2000; ++p) {
      for (float &value : buffers) value = BufferValue();
      buffers[HOST_BUF_SPECIAL] = static_cast<float>(1 + Below(16));
      HostPixelAccess access{};
      access.getVal = GetVal;
      access.setRGBA = SetRGBA;
      QXEvaluate(instance, &access);
    }
    QXDestroy(instance);
  }
  std::printf("%ld pixels written, hash %016llx\n", written, static_cast<unsigned long long>(hash));
  return written > 0 ? 0 : 1;
}
