// The render pass: the filter evaluated once for every pixel of a frame, rows
// shared out among threads, each thread with its own pixel-access record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

#include "frames/frame.h"
#include "qx/host.h"

namespace qx {

// Evaluates one pixel: reads through the record's getVal and may write
// through its setRGBA. Called on several threads at once, each with its own
// record.
using PixelEvaluator = std::function<void(const HostPixelAccess &access)>;

// Pixels the filter wrote, by the bits of the special-buffer value each was
// evaluated with.
using WriteTally = std::map<std::uint32_t, std::uint64_t>;

struct RenderOptions {
  // Threads to render with; 0 for one per core.
  unsigned int threads = 0;
  // Where the progress line goes for a frame that takes longer than a second;
  // it is shown only when this stream is a terminal. Null for none.
  std::FILE *progress = stderr;
  // The row of the whole frame that the input's first row is, for an input
  // that is a strip of a frame: the filter sees pixels by frame position.
  int firstRow = 0;
  // Where the pixels written are counted, added to what it holds. Null: not
  // counted.
  WriteTally *tally = nullptr;
  // Only these pixels (indices row by row) are rendered again; the output,
  // already of the input's size, keeps every other pixel. Null: every pixel.
  const std::vector<std::uint32_t> *pixels = nullptr;
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

  // Counts the pixels written from now on, by special-buffer value.
  void countWrites() { counting_ = true; }
  // The counts so far, added into `tally`.
  void addCounts(WriteTally &tally) const;

private:
  static void getVal(const HostPixelAccess *access, int buffer, int count, float *out);
  static void setRGBA(const HostPixelAccess *access, const float rgba[4]);
  void count();
  bool counting_ = false;
  // The last value counted, and the counts: a pixel's neighbours mostly
  // share its value.
  std::uint32_t lastValue_ = 0;
  std::uint64_t *lastCount_ = nullptr;
  std::map<std::uint32_t, std::uint64_t> counts_;
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

// One rank of an object-id layer: each pixel's id and its coverage, planes
// of the input's size.
struct RankPlanes {
  const float *id;
  const float *coverage;
};

// Soft edges: each pixel is evaluated once for every rank whose coverage is
// above 0, with that rank's id served as the special buffer (buffer 0) and
// the other buffers as they are. With F(id) what the filter made of the
// pixel P for that id (P itself where it wrote nothing), the output is
// P + sum of coverage x (F(id) - P), on all four channels. A pixel one id
// covers whole (coverage 1) gets F of that id exactly; a pixel no F differs
// from keeps P bit for bit, and so does one no rank covers. The input's
// special buffer is used as scratch and left as it was.
void renderCoverage(Frame &input, const std::vector<RankPlanes> &ranks, Frame &output,
                    const PixelEvaluator &evaluate, const RenderOptions &options = {});

} // namespace qx
