// The workloads, timed: whole frames through the stand-in host's render pass
// and QXEvaluate, on one thread and on two, beside their anchors (the fused
// floor, the memory floor, the host's pass alone), and the panel's preview.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <string>
#include <thread>
#include <vector>

#include "bench_scene.h"
#include "controls.h"
#include "effect.h"
#include "frames/renderer.h"
#include "fused_floor.h"
#include "layers.h"
#include "module.h"
#include "preview.h"

namespace {

using qx::bench::Workload;

Workload workloadOf(const benchmark::State &state) { return static_cast<Workload>(state.range(0)); }
unsigned int threadsOf(const benchmark::State &state) {
  return static_cast<unsigned int>(state.range(1));
}

void label(benchmark::State &state, const qx::Frame &frame) {
  const double pixels = static_cast<double>(frame.pixelCount());
  state.counters["Mpixel/s"] =
      benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  const unsigned int threads = threadsOf(state);
  state.SetLabel(std::string(qx::bench::workloadName(workloadOf(state))) + ", " +
                 std::to_string(threads) + (threads == 1 ? " thread" : " threads"));
}

// Runs `rows(begin, end)` over the frame's rows on `threads` threads, each a
// contiguous band, as the fused floor and the memory floor share them.
template <class Rows> void inBands(int height, unsigned int threads, const Rows &rows) {
  std::vector<std::thread> pool;
  for (unsigned int t = 0; t < threads; ++t) {
    const int begin = static_cast<int>(static_cast<long>(height) * t / threads);
    const int end = static_cast<int>(static_cast<long>(height) * (t + 1) / threads);
    pool.emplace_back([&rows, begin, end] { rows(begin, end); });
  }
  for (std::thread &thread : pool) thread.join();
}

// The pass on the benchmark's threads, with no progress line.
qx::RenderOptions passOptions(const benchmark::State &state) {
  qx::RenderOptions options;
  options.threads = threadsOf(state);
  options.progress = nullptr;
  return options;
}

// QXEvaluate on the workload's instance, as the host's pass calls it.
qx::PixelEvaluator evaluatorOf(const qx::bench::BenchScene &scene) {
  const HostInstance instance = scene.instance;
  return [instance](const HostPixelAccess &access) { QXEvaluate(instance, &access); };
}

// A workload through the host's render pass and QXEvaluate.
void BM_Workload(benchmark::State &state) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene(workloadOf(state));
  const qx::RenderOptions options = passOptions(state);
  const qx::PixelEvaluator evaluate = evaluatorOf(scene);
  // The output's planes are made once and reused, as the render pipeline
  // reuses its strips: the pass, not the allocator, is timed.
  qx::Frame out;
  for (auto _ : state) {
    qx::renderInto(scene.frame, out, evaluate, options);
    benchmark::DoNotOptimize(out.plane(32));
  }
  label(state, scene.frame);
}

// The fused floor: the same floats from one loop over the planes.
void BM_FusedFloor(benchmark::State &state) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene(workloadOf(state));
  const FilterInstance &instance = *static_cast<const FilterInstance *>(scene.instance);
  qx::Frame out(scene.frame.width(), scene.frame.height());
  for (int c = 32; c < 36; ++c) out.mutablePlane(c);
  for (auto _ : state) {
    inBands(scene.frame.height(), threadsOf(state), [&](int begin, int end) {
      qx::bench::fusedPass(instance, scene.frame, out, begin, end);
    });
    benchmark::DoNotOptimize(out.plane(32));
  }
  label(state, scene.frame);
}

// The memory floor: every byte the pass must touch (the planes the
// instance's buffer mask names, the colour, and the four planes written)
// streamed once, with nothing computed but a sum.
void BM_MemoryFloor(benchmark::State &state) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene(workloadOf(state));
  const unsigned int mask = QXFlags(scene.instance);
  std::vector<const float *> read;
  for (int b = 0; b < 32; ++b) {
    if ((mask & (1u << b)) != 0 && scene.frame.has(b)) read.push_back(scene.frame.plane(b));
  }
  const float *colour[4];
  qx::Frame out(scene.frame.width(), scene.frame.height());
  float *written[4];
  for (int c = 0; c < 4; ++c) {
    colour[c] = scene.frame.plane(32 + c);
    written[c] = out.mutablePlane(32 + c);
  }
  const std::size_t width = static_cast<std::size_t>(scene.frame.width());
  for (auto _ : state) {
    inBands(scene.frame.height(), threadsOf(state), [&](int begin, int end) {
      for (std::size_t i = static_cast<std::size_t>(begin) * width;
           i < static_cast<std::size_t>(end) * width; ++i) {
        float sum = 0.0f;
        for (const float *plane : read) sum += plane[i];
        for (int c = 0; c < 4; ++c) written[c][i] = colour[c][i] + sum;
      }
    });
    benchmark::DoNotOptimize(out.plane(32));
  }
  label(state, scene.frame);
}

// The host's pass alone, with a filter that writes every pixel and reads
// nothing: what the host itself costs.
void BM_PassOnly(benchmark::State &state) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene(workloadOf(state));
  const qx::RenderOptions options = passOptions(state);
  const qx::PixelEvaluator evaluate = [](const HostPixelAccess &access) {
    static const float rgba[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    access.setRGBA(&access, rgba);
  };
  qx::Frame out;
  for (auto _ : state) {
    qx::renderInto(scene.frame, out, evaluate, options);
    benchmark::DoNotOptimize(out.plane(32));
  }
  label(state, scene.frame);
}

// Soft edges (render --cryptomatte) over W1: a three-rank layer whose ids
// are W1's entry values. Objects meet where W1's bands do, and the 5 % of
// the pixels nearest those boundaries (7 columns each side) are edge
// pixels, shared by two or three values: their own at 60 or 70 %, the
// neighbouring band's at 30 %, and in every other edge pixel a third at
// 10 %. Every other pixel is covered whole by its own value. The pass
// against W1's exact pass: at most 1.3x its time.
void BM_SoftEdges(benchmark::State &state) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene(Workload::W1);
  qx::Frame input = scene.frame; // the pass serves each rank's ids through it
  const std::size_t count = input.pixelCount();
  const int width = input.width();
  std::vector<std::vector<float>> ranks(6, std::vector<float>(count, 0.0f));
  const float *special = scene.frame.plane(0);
  // The columns where a band meets the next (the bands are vertical).
  std::vector<int> boundaries;
  for (int x = 1; x < width; ++x) {
    if (special[x] != special[x - 1]) boundaries.push_back(x);
  }
  constexpr int kReach = 7;
  for (std::size_t i = 0; i < count; ++i) {
    const int x = static_cast<int>(i % static_cast<std::size_t>(width));
    const std::size_t rowStart = i - static_cast<std::size_t>(x);
    ranks[0][i] = special[i];
    int nearest = -1;
    for (int b : boundaries) {
      if (x >= b - kReach && x < b + kReach) nearest = b;
    }
    if (nearest < 0) { // covered whole
      ranks[1][i] = 1.0f;
      continue;
    }
    // The band across the boundary, and the one beyond it.
    const int across = x < nearest ? nearest : nearest - 1;
    const int beyond = x < nearest ? std::min(width - 1, nearest + 2 * kReach)
                                   : std::max(0, nearest - 1 - 2 * kReach);
    const bool three = i % 2 == 0;
    ranks[1][i] = three ? 0.6f : 0.7f;
    ranks[2][i] = special[rowStart + static_cast<std::size_t>(across)];
    ranks[3][i] = 0.3f;
    if (three) {
      ranks[4][i] = special[rowStart + static_cast<std::size_t>(beyond)];
      ranks[5][i] = 0.1f;
    }
  }
  const std::vector<qx::RankPlanes> planes = {{ranks[0].data(), ranks[1].data()},
                                              {ranks[2].data(), ranks[3].data()},
                                              {ranks[4].data(), ranks[5].data()}};
  const qx::RenderOptions options = passOptions(state);
  const qx::PixelEvaluator evaluate = evaluatorOf(scene);
  qx::Frame out;
  for (auto _ : state) {
    qx::renderCoverage(input, planes, out, evaluate, options);
    benchmark::DoNotOptimize(out.plane(32));
  }
  label(state, scene.frame);
  state.SetLabel(std::string("soft edges, W1, ") + std::to_string(threadsOf(state)) +
                 (threadsOf(state) == 1 ? " thread" : " threads"));
}

void oneAndTwoThreads(benchmark::internal::Benchmark *bench, Workload workload) {
  bench->Args({static_cast<long>(workload), 1});
  bench->Args({static_cast<long>(workload), 2});
}

void workloads(benchmark::internal::Benchmark *bench) {
  oneAndTwoThreads(bench, Workload::W1);
  oneAndTwoThreads(bench, Workload::W1r);
  oneAndTwoThreads(bench, Workload::W2);
  oneAndTwoThreads(bench, Workload::W2first);
  oneAndTwoThreads(bench, Workload::W3);
}

void anchors(benchmark::internal::Benchmark *bench) { oneAndTwoThreads(bench, Workload::W1); }

BENCHMARK(BM_Workload)
    ->Apply(workloads)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FusedFloor)
    ->Apply(anchors)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryFloor)
    ->Apply(anchors)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PassOnly)->Apply(anchors)->MinTime(1.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoftEdges)->Apply(anchors)->MinTime(1.0)->UseRealTime()->Unit(benchmark::kMillisecond);

// W4: the whole preview of a six-layer stack redrawn, headless: the drawing
// operations fill a canvas in memory.
struct Canvas {
  std::array<std::array<unsigned char, 3>, 640 * 480> pixels{};
};
Canvas *canvasOf(HostPanelID panel) { return static_cast<Canvas *>(panel); }

void drawPixel(HostPanelID panel, int red, int green, int blue, int x, int y) {
  canvasOf(panel)->pixels[static_cast<std::size_t>(y * 640 + x)] = {
      static_cast<unsigned char>(red), static_cast<unsigned char>(green),
      static_cast<unsigned char>(blue)};
}
void drawBox(HostPanelID panel, int red, int green, int blue, int x, int y, int width, int height) {
  for (int row = y; row < y + height; ++row) {
    for (int column = x; column < x + width; ++column)
      drawPixel(panel, red, green, blue, column, row);
  }
}
void areaGet(HostControl *control, int tag, HostValue *value) {
  (void)control;
  value->intv.value = tag == HOST_CTL_HOTX ? 7 : 210; // the area's drawing region
}

void BM_PreviewRedraw(benchmark::State &state) {
  static Canvas canvas;
  HostDrawFuncs draw{};
  draw.drawRGBPixel = drawPixel;
  draw.drawRGBBox = drawBox;
  HostPanelFuncs services{};
  services.drawFuncs = &draw;
  HostControl area{};
  area.get = areaGet;

  static FilterInstance instance;
  FilterInstance *inst = &instance;
  inst->baseColor[0] = inst->baseColor[1] = inst->baseColor[2] = 1.0f;
  SBEntry entry{1.0, 1, nullptr};
  // Six layers through the modes: light, plain and HSV blends, with buffers.
  const int modes[6] = {MODE_AMBIENT, MODE_ADD, MODE_MULTIPLY, MODE_HUE, MODE_OVERLAY, MODE_VALUE};
  for (int mode : modes) {
    Layer *layer = AddLayer(&entry, 0);
    layer->mode = mode;
    layer->color[0] = static_cast<uint8_t>(40 * mode);
    layer->inBuffer = BUF_GEOMETRY;
    layer->alphaBuffer = BUF_DIFFUSE_SHADE;
  }
  inst->entries = &entry;
  inst->entryCount = 1;
  inst->curEntry = 0;
  inst->curLayer = entry.head;
  inst->panelFuncs = &services;
  inst->panel = &canvas;
  inst->ctl[CTL_PREVIEW_AREA] = &area;
  for (auto _ : state) {
    Preview_Redraw(inst);
    benchmark::ClobberMemory();
  }
  state.SetLabel("W4, 6 layers");
  DelAllLayer(&entry);
  *inst = FilterInstance{};
}
BENCHMARK(BM_PreviewRedraw)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
