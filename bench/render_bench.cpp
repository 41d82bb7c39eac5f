// The whole render pass over a full-HD frame through the filter, on one
// thread and on all of them, in Mpixel/s.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_scene.h"
#include "effect.h"
#include "renderer.h"

namespace {

void runPass(benchmark::State &state, const qx::PixelEvaluator &evaluate) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene();
  qx::RenderOptions options;
  options.threads = static_cast<unsigned int>(state.range(0));
  options.progress = nullptr;
  for (auto _ : state) {
    qx::Frame out = qx::renderFrame(scene.frame, evaluate, options);
    benchmark::DoNotOptimize(out.plane(32));
  }
  const double pixels = static_cast<double>(scene.frame.pixelCount());
  state.counters["Mpixel/s"] =
      benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.SetLabel(std::to_string(options.threads) + (options.threads == 1 ? " thread" : " threads"));
}

// 8 entries of 4 layers, mixed modes.
void BM_RenderFullHD(benchmark::State &state) {
  const HostInstance instance = qx::bench::benchScene().instance;
  runPass(state, [instance](const HostPixelAccess &access) { QXEvaluate(instance, &access); });
}

// The pass alone, with a filter that writes every pixel and reads nothing:
// what the host itself costs.
void BM_RenderFullHDPassOnly(benchmark::State &state) {
  runPass(state, [](const HostPixelAccess &access) {
    static const float rgba[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    access.setRGBA(&access, rgba);
  });
}

void threadCounts(benchmark::internal::Benchmark *bench) {
  bench->Arg(1);
  const unsigned int all = qx::renderThreads(0);
  if (all > 1) bench->Arg(static_cast<int>(all));
}

BENCHMARK(BM_RenderFullHD)
    ->Apply(threadCounts)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderFullHDPassOnly)
    ->Apply(threadCounts)
    ->MinTime(1.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
