// qx_bench_view_edit: the render view's cost of an edit. On W3 (4K, eight
// entries in bands), the time from an edit of one entry's stack to the
// updated render, against a full render of the same lines, through the
// live-render class the view uses (no window).
//
//   qx_bench_view_edit MODULE [THREADS]
//
// Prints one line: the full render's and the edit's median milliseconds
// over five edits, their ratio, and the pixels the edit filtered again.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_scene.h"
#include "stand_in/stand_in_host.h"
#include "window/live_render.h"

namespace {

double millisecondsOf(qx::LiveRender &view, const std::vector<std::string> &state) {
  const auto start = std::chrono::steady_clock::now();
  view.request(state);
  view.wait();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qx_bench_view_edit MODULE [THREADS]\n");
    return 2;
  }
  const unsigned int threads = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 0;
  const qx::Scene scene = qx::bench::workloadScene(qx::bench::Workload::W3);
  qx::Host host(scene);
  host.loadModule(argv[1]);
  const std::shared_ptr<const qx::PixelFilter> filter = host.makeFilter();
  const qx::Frame &frame = qx::bench::benchScene(qx::bench::Workload::W3).frame;
  std::vector<std::string> state = *scene.filterState;

  std::vector<double> full, edit;
  qx::LiveRender view(filter, frame, threads);
  millisecondsOf(view, state);
  std::size_t pixels = 0;
  for (int round = 0; round < 5; ++round) {
    // A full render of the lines as they stand, in a view of its own.
    qx::LiveRender fresh(filter, frame, threads);
    full.push_back(millisecondsOf(fresh, state));
    // The third entry's first layer gets another colour: one band's pixels.
    const std::size_t line = 1 + 2 * 5 + 1; // entries of four layers: header, then 5 lines each
    std::string &layer = state[line];
    layer[4] = layer[4] == '9' ? '1' : static_cast<char>(layer[4] + 1);
    edit.push_back(millisecondsOf(view, state));
    pixels = view.shownPixels();
  }
  std::printf("view edit, W3 4K, 8 entries in bands: full render %.1f ms, one entry's stack "
              "edited %.1f ms, %.2fx; %zu of %zu pixels filtered again\n",
              median(full), median(edit), median(edit) / median(full), pixels, frame.pixelCount());
  return 0;
}
