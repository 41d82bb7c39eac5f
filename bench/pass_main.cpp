// qx_bench_pass: one render pass of a workload, for counting instructions
// under callgrind (`make bench-callgrind`). The scene is made first; the pass
// itself runs inside qx_measured_pass, the function callgrind is told to
// count in, so that the count divided by the pixels is the cost of a pixel.
//
//   qx_bench_pass WORKLOAD [floor] [WIDTH HEIGHT]
//   qx_bench_pass WORKLOAD export DIR [WIDTH HEIGHT]
//   qx_bench_pass WORKLOAD rss [WIDTH HEIGHT]
//
// WORKLOAD is W1, W1r, W2, W2first or W3; "floor" runs the fused floor
// instead of QXEvaluate through the stand-in host. Before the pass, the two
// are run once and must give the same floats. "export" writes the workload's
// frame as .npy planes into DIR/frame/ and its scene into DIR/scene.json,
// for qxhost and the NumPy peer. "rss" renders the frame on every core and
// prints the process's peak memory against the bytes of the planes loaded
// and of the output.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_scene.h"
#include "effect.h"
#include "frames/renderer.h"
#include "fused_floor.h"

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
  const std::string mode = argc > arg ? argv[arg] : "";
  const bool floor = mode == "floor";
  if (floor || mode == "rss") ++arg;
  std::string dir;
  if (mode == "export") {
    if (argc <= arg + 1) {
      std::fprintf(stderr, "qx_bench_pass: export needs a folder\n");
      return 2;
    }
    dir = argv[arg + 1];
    arg += 2;
  }
  int width = 480, height = 270;
  if (workload == qx::bench::Workload::W3) width = 3840, height = 2160;
  if (argc > arg + 1) {
    width = std::atoi(argv[arg]);
    height = std::atoi(argv[arg + 1]);
  }
  const qx::bench::BenchScene scene = qx::bench::makeBenchScene(workload, width, height);

  if (mode == "export") {
    scene.frame.writePlanes(dir + "/frame");
    qx::bench::workloadScene(workload).save(dir + "/scene.json");
    return 0;
  }
  if (mode == "rss") {
    // The bytes the pass holds by need: the planes loaded and the output.
    std::size_t planes = 0;
    for (int b = 0; b < qx::kBufferSlots; ++b)
      planes += scene.frame.has(b) ? scene.frame.pixelCount() * sizeof(float) : 0;
    qx::RenderOptions options;
    options.progress = nullptr;
    const HostInstance instance = scene.instance;
    const qx::Frame out = qx::renderFrame(
        scene.frame, [instance](const HostPixelAccess &access) { QXEvaluate(instance, &access); },
        options);
    std::size_t output = 0;
    for (int b = 32; b < 36; ++b) output += out.has(b) ? out.pixelCount() * sizeof(float) : 0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
    std::printf("%dx%d: planes %.0f MiB, output %.0f MiB, peak RSS %.0f MiB, %.3f of planes and "
                "output\n",
                width, height, static_cast<double>(planes) / 1048576.0,
                static_cast<double>(output) / 1048576.0, peak / 1048576.0,
                peak / static_cast<double>(planes + output));
    return 0;
  }

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
