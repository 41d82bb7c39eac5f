// qx_bench_pass: one render pass of a workload, for counting instructions
// under callgrind (`make bench-callgrind`). The scene is made first; the pass
// itself runs inside qx_measured_pass, the function callgrind is told to
// count in, so that the count divided by the pixels is the cost of a pixel.
//
//   qx_bench_pass WORKLOAD [floor] [WIDTH HEIGHT]
//
// WORKLOAD is W1, W1r, W2 or W2first; "floor" runs the fused floor instead of
// QXEvaluate through the stand-in host. Before the pass, the two are run once
// and must give the same floats.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_scene.h"
#include "effect.h"
#include "fused_floor.h"
#include "renderer.h"

namespace {

struct Pass {
  const qx::bench::BenchScene *scene;
  bool floor;
  qx::Frame *out;
};

// The colour the host starts every pixel from: its input colour.
void copyColour(const qx::Frame &input, qx::Frame &output) {
  for (int c = 32; c < 36; ++c) {
    const float *from = input.plane(c);
    float *to = output.mutablePlane(c);
    std::memcpy(to, from, input.pixelCount() * sizeof(float));
  }
}

// The stand-in host's render pass on this thread (renderFrame's worker loop,
// without the threads, which callgrind would count apart): every pixel
// through the host's pixel-access record and the filter's evaluate.
qx::Frame renderThroughHost(const qx::bench::BenchScene &scene) {
  qx::Frame out(scene.frame.width(), scene.frame.height());
  copyColour(scene.frame, out);
  const HostInstance instance = scene.instance;
  const qx::PixelEvaluator evaluate = [instance](const HostPixelAccess &access) {
    QXEvaluate(instance, &access);
  };
  qx::PixelAccess access(scene.frame, out);
  for (int y = 0; y < scene.frame.height(); ++y) {
    for (int x = 0; x < scene.frame.width(); ++x) evaluate(access.at(x, y));
  }
  return out;
}

qx::Frame renderFused(const qx::bench::BenchScene &scene) {
  qx::Frame out(scene.frame.width(), scene.frame.height());
  copyColour(scene.frame, out);
  qx::bench::fusedPass(*static_cast<const FilterInstance *>(scene.instance), scene.frame, out, 0,
                       scene.frame.height());
  return out;
}

} // namespace

extern "C" __attribute__((noinline)) void qx_measured_pass(Pass *pass) {
  *pass->out = pass->floor ? renderFused(*pass->scene) : renderThroughHost(*pass->scene);
}

int main(int argc, char **argv) {
  qx::bench::Workload workload;
  if (argc < 2 || !qx::bench::workloadFromName(argv[1], workload)) {
    std::fprintf(stderr, "usage: qx_bench_pass W1|W1r|W2|W2first [floor] [WIDTH HEIGHT]\n");
    return 2;
  }
  int arg = 2;
  const bool floor = argc > arg && std::strcmp(argv[arg], "floor") == 0;
  if (floor) ++arg;
  int width = 480, height = 270;
  if (argc > arg + 1) {
    width = std::atoi(argv[arg]);
    height = std::atoi(argv[arg + 1]);
  }
  const qx::bench::BenchScene scene = qx::bench::makeBenchScene(workload, width, height);

  // The floor stands beside the filter only if it computes the same floats.
  const qx::Frame host = renderThroughHost(scene);
  const qx::Frame fused = renderFused(scene);
  for (int c = 32; c < 36; ++c) {
    if (std::memcmp(host.plane(c), fused.plane(c), host.pixelCount() * sizeof(float)) != 0) {
      std::fprintf(stderr, "qx_bench_pass: the fused floor differs from QXEvaluate in buffer %d\n",
                   c);
      return 1;
    }
  }

  qx::Frame out;
  Pass pass{&scene, floor, &out};
  qx_measured_pass(&pass);
  std::printf("pixels %zu\n", scene.frame.pixelCount());
  return 0;
}
