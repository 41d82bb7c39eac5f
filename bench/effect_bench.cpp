// The pixel effect engine, timed: one layer through PixEffecter for each blend
// mode, and one pixel through QXEvaluate and the stand-in host's access record.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_scene.h"
#include "effect.h"
#include "frames/renderer.h"
#include "layers.h"

namespace {

void BM_PixEffecter(benchmark::State &state) {
  const int mode = static_cast<int>(state.range(0));
  Layer layer{};
  layer.type = LAYER_SURFACE;
  layer.active = 1;
  layer.color[0] = 200;
  layer.color[1] = 90;
  layer.color[2] = 40;
  layer.intensity = 80.0;
  layer.mode = mode;
  layer.alphaIntensity = 100.0;
  float current[4] = {0.35f, 0.55f, 0.75f, 1.0f};
  float surface[3] = {0.6f, 0.5f, 0.4f};
  PixelContext context{};
  context.current = current;
  context.surfaceColor = surface;
  context.diffuse = 0.8f;
  context.specularShade = 0.1f;
  context.inputValue = 0.7f;
  context.alphaValue = 0.9f;
  context.shadow = 0.5f;
  context.layer = &layer;
  float out[4] = {};
  for (auto _ : state) {
    PixEffecter(&context, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetLabel(popup1_data[mode]);
}
BENCHMARK(BM_PixEffecter)->DenseRange(MODE_AMBIENT, MODE_VALUE);

// One pixel through QXEvaluate: range 0 a pixel of the benchmark frame, whose
// entry holds four layers; range 1 a pixel whose value matches no entry.
void BM_QXEvaluate(benchmark::State &state) {
  const qx::bench::BenchScene &scene = qx::bench::benchScene();
  const bool matched = state.range(0) == 0;
  qx::Frame unmatched(1, 1);
  unmatched.mutablePlane(0)[0] = 99.0f;
  const qx::Frame &input = matched ? scene.frame : unmatched;
  qx::Frame output(input.width(), input.height());
  qx::PixelAccess access(input, output);
  const HostPixelAccess &record = access.at(0, 0);
  for (auto _ : state) {
    QXEvaluate(scene.instance, &record);
    benchmark::ClobberMemory();
  }
  state.SetLabel(matched ? "entry of 4 layers" : "no matching entry");
}
BENCHMARK(BM_QXEvaluate)->Arg(0)->Arg(1);

} // namespace
