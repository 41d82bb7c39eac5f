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
  // The row of the whole frame that the input's first row is, for an input
  // that is a strip of a frame: the filter sees pixels by frame position.
  int firstRow = 0;
};

// One thread's pixel-access record: reads the buffers of `input` and writes
// the colour buffers 32 to 35 of `output`, a frame of the same size. getVal
// gives 0.0 for a buffer the input does not hold or a number beyond the
// host's. The record points at this object, so it neither moves nor copies.
class PixelAccess {
public:
  // `firstRow` is the frame row of the input's first row.
  PixelAccess(const Frame &input, Frame &output, int firstRow = 0);
  PixelAccess(const PixelAccess &) = delete;
  PixelAccess &operator=(const PixelAccess &) = delete;

  // The record, standing on the input's pixel (x, y).
  const HostPixelAccess &at(int x, int y) {
    record_.x = x;
    record_.y = y + firstRow_;
    index_ = static_cast<std::size_t>(y) * width_ + static_cast<std::size_t>(x);
    return record_;
  }

private:
  static void getVal(const HostPixelAccess *access, int buffer, int count, float *out);
  static void setRGBA(const HostPixelAccess *access, const float rgba[4]);
  HostPixelAccess record_{};
  std::size_t index_ = 0; // of the pixel the record stands on
  const float *planes_[kBufferSlots] = {};
  float *out_[4] = {};
  std::size_t width_;
  int firstRow_;
};

// The most threads a pass takes (--threads).
constexpr unsigned int kMaxThreads = 256;
// The threads a pass with `requested` threads uses: one per core for 0, and
// never more than kMaxThreads.
unsigned int renderThreads(unsigned int requested);

// Runs `evaluate` once for every pixel of `input`, each thread with its own
// PixelAccess, and returns the rendered colour: a frame of the same size
// holding buffers 32 to 35 ("R", "G", "B", "A"), each pixel as the filter
// wrote it or, where it wrote nothing, the input's own colour. An exception
// thrown by `evaluate` ends the pass and is thrown again here.
Frame renderFrame(const Frame &input, const PixelEvaluator &evaluate,
                  const RenderOptions &options = {});
// The same into `output`, whose colour planes are reused when it already
// has the input's size.
void renderInto(const Frame &input, Frame &output, const PixelEvaluator &evaluate,
                const RenderOptions &options = {});

} // namespace qx
