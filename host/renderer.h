// The render pass: the filter evaluated once for every pixel of a frame, rows
// shared out among threads, each thread with its own pixel-access record.
#pragma once

#include <cstdio>
#include <functional>

#include "frame.h"
#include "qx/host.h"

namespace qx {

// Evaluates one pixel: reads through the record's getVal and may write
// through its setRGBA. Called on several threads at once, each with its own
// record.
using PixelEvaluator = std::function<void(const HostPixelAccess &access)>;

struct RenderOptions {
  // Threads to render with; 0 for one per core.
  unsigned int threads = 0;
  // Where the progress line goes for a frame that takes longer than a second;
  // it is shown only when this stream is a terminal. Null for none.
  std::FILE *progress = stderr;
};

// The threads a pass with `requested` threads uses: one per core for 0.
unsigned int renderThreads(unsigned int requested);

// Runs `evaluate` once for every pixel of `input` and returns the rendered
// colour: a frame of the same size holding buffers 32 to 35 ("R", "G", "B",
// "A"), each pixel as the filter wrote it or, where it wrote nothing, the
// input's own colour. getVal reads any buffer of the input, 0.0 for one it
// does not hold or a number beyond the host's. An exception thrown by
// `evaluate` ends the pass and is thrown again here.
Frame renderFrame(const Frame &input, const PixelEvaluator &evaluate,
                  const RenderOptions &options = {});

} // namespace qx
