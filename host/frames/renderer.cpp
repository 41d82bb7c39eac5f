// The render pass over a frame.
#include "frames/renderer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qx {
namespace {

bool isTerminal(std::FILE *stream) { return stream != nullptr && isatty(fileno(stream)) == 1; }

// Whether two floats are the same bits: -0.0 is not 0.0, and a NaN is itself.
bool sameBits(float a, float b) {
  std::uint32_t x = 0, y = 0;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

} // namespace

PixelAccess::PixelAccess(const Frame &input, Frame &output, int firstRow)
    : width_(static_cast<std::size_t>(input.width())), firstRow_(firstRow) {
  record_.getVal = getVal;
  record_.setRGBA = setRGBA;
  record_.hostData = this;
  for (int b = 0; b < kBufferSlots; ++b) planes_[b] = input.plane(b);
  for (int c = 0; c < 4; ++c) out_[c] = output.mutablePlane(HOST_BUF_RED + c);
}

void PixelAccess::getVal(const HostPixelAccess *access, int buffer, int count, float *out) {
  const PixelAccess *self = static_cast<const PixelAccess *>(access->hostData);
  const std::size_t i = self->index_;
  // The filter reads most buffers one at a time, and the colour as four.
  if (count == 1 && static_cast<unsigned int>(buffer) < static_cast<unsigned int>(kBufferSlots)) {
    const float *plane = self->planes_[buffer];
    *out = plane != nullptr ? plane[i] : 0.0f;
    return;
  }
  if (count == 4 && buffer >= 0 && buffer <= kBufferSlots - 4) {
    for (int n = 0; n < 4; ++n) {
      const float *plane = self->planes_[buffer + n];
      out[n] = plane != nullptr ? plane[i] : 0.0f;
    }
    return;
  }
  for (int n = 0; n < count; ++n) {
    const int b = buffer + n;
    const float *plane = (b >= 0 && b < kBufferSlots) ? self->planes_[b] : nullptr;
    out[n] = plane != nullptr ? plane[i] : 0.0f;
  }
}

void PixelAccess::setRGBA(const HostPixelAccess *access, const float rgba[4]) {
  PixelAccess *self = static_cast<PixelAccess *>(access->hostData);
  const std::size_t i = self->index_;
  for (int c = 0; c < 4; ++c) self->out_[c][i] = rgba[c];
  if (self->counting_) self->count();
}

void PixelAccess::count() {
  const float value = planes_[0] != nullptr ? planes_[0][index_] : 0.0f;
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (lastCount_ == nullptr || bits != lastValue_) {
    lastValue_ = bits;
    lastCount_ = &counts_[bits];
  }
  ++*lastCount_;
}

void PixelAccess::addCounts(WriteTally &tally) const {
  for (const auto &[value, count] : counts_) tally[value] += count;
}

unsigned int renderThreads(unsigned int requested) {
  const unsigned int threads = requested > 0 ? requested : std::thread::hardware_concurrency();
  return std::min(std::max(threads, 1u), kMaxThreads);
}

Frame renderFrame(const Frame &input, const PixelEvaluator &evaluate,
                  const RenderOptions &options) {
  Frame output;
  renderInto(input, output, evaluate, options);
  return output;
}

void renderInto(const Frame &input, Frame &output, const PixelEvaluator &evaluate,
                const RenderOptions &options) {
  const int width = input.width();
  const int height = input.height();
  const std::vector<std::uint32_t> *pixels = options.pixels;
  output.reshape(width, height);
  // Every pixel starts as its input colour, so that one the filter leaves
  // alone keeps it; with a list, only the listed pixels start again.
  for (int c = 0; c < 4; ++c) {
    float *out = output.mutablePlane(HOST_BUF_RED + c);
    const float *in = input.plane(HOST_BUF_RED + c);
    if (pixels != nullptr) {
      for (std::uint32_t i : *pixels) out[i] = in != nullptr ? in[i] : 0.0f;
    } else if (in != nullptr) {
      std::copy(in, in + input.pixelCount(), out);
    } else {
      std::fill(out, out + input.pixelCount(), 0.0f);
    }
  }

  // The work goes out a row at a time, or a run of listed pixels.
  constexpr std::size_t kRun = 4096;
  const int units =
      pixels == nullptr ? height : static_cast<int>((pixels->size() + kRun - 1) / kRun);
  unsigned int threadCount = renderThreads(options.threads);
  if (threadCount > static_cast<unsigned int>(units))
    threadCount = static_cast<unsigned int>(std::max(units, 1));

  std::atomic<int> nextRow{0};
  std::atomic<int> rowsDone{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::condition_variable finished;
  unsigned int running = threadCount;
  std::exception_ptr error;

  auto work = [&](PixelAccess &access) {
    try {
      for (int unit = nextRow++; unit < units && !failed; unit = nextRow++) {
        if (pixels == nullptr) {
          for (int x = 0; x < width; ++x) evaluate(access.at(x, unit));
        } else {
          const std::size_t begin = static_cast<std::size_t>(unit) * kRun;
          const std::size_t end = std::min(pixels->size(), begin + kRun);
          for (std::size_t k = begin; k < end; ++k) {
            const std::uint32_t i = (*pixels)[k];
            evaluate(access.at(static_cast<int>(i % static_cast<std::uint32_t>(width)),
                               static_cast<int>(i / static_cast<std::uint32_t>(width))));
          }
        }
        ++rowsDone;
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!error) error = std::current_exception();
      failed = true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (--running == 0) finished.notify_all();
  };

  // The records are made before any thread starts, while the output's planes
  // are only this thread's.
  std::vector<std::unique_ptr<PixelAccess>> records;
  for (unsigned int t = 0; t < threadCount; ++t) {
    records.push_back(std::make_unique<PixelAccess>(input, output, options.firstRow));
    if (options.tally != nullptr) records.back()->countWrites();
  }
  std::vector<std::thread> threads;
  threads.reserve(threadCount);
  for (unsigned int t = 0; t < threadCount; ++t) threads.emplace_back(work, std::ref(*records[t]));

  const bool terminal = isTerminal(options.progress);
  const auto start = std::chrono::steady_clock::now();
  bool shown = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) {
      if (!terminal || std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) continue;
      const int percent = static_cast<int>(100LL * rowsDone.load() / std::max(units, 1));
      std::fprintf(options.progress, "\rqxhost: rendering %dx%d: %3d%%", width, height, percent);
      std::fflush(options.progress);
      shown = true;
    }
  }
  for (std::thread &t : threads) t.join();
  if (options.tally != nullptr) {
    for (const auto &record : records) record->addCounts(*options.tally);
  }
  if (shown) {
    std::fprintf(options.progress, "\rqxhost: rendering %dx%d: %s\n", width, height,
                 error ? "stopped" : "100%");
    std::fflush(options.progress);
  }
  if (error) std::rethrow_exception(error);
}

void renderCoverage(Frame &input, const std::vector<RankPlanes> &ranks, Frame &output,
                    const PixelEvaluator &evaluate, const RenderOptions &options) {
  const std::size_t count = input.pixelCount();
  const std::size_t width = static_cast<std::size_t>(input.width());
  if (ranks.empty()) {
    return renderInto(
        input, output, [](const HostPixelAccess &) {}, options);
  }
  // The special buffer serves each rank's ids in turn, pixel by pixel (each
  // pixel's slot touched only by the thread on its row): a plane of ids
  // takes its place for the pass, and the frame's own is put back however
  // the pass ends (a render view stops its pass by throwing). The plane of
  // ids is kept from one pass to the next on this thread, so that no pass
  // allocates it anew.
  static thread_local std::vector<float> idPlane;
  idPlane.resize(count);
  struct Swapped {
    Frame &frame;
    ~Swapped() { frame.swapPlane(0, idPlane); }
  };
  // Most pixels are covered whole by the id of their first rank: served
  // from the start, they cost what the exact path does.
  std::copy(ranks.front().id, ranks.front().id + count, idPlane.begin());
  input.swapPlane(0, idPlane);
  const Swapped swapped{input};
  float *ids = input.mutablePlane(0);
  const RankPlanes &first = ranks.front();
  const float *in[4] = {input.plane(HOST_BUF_RED), input.plane(HOST_BUF_GREEN),
                        input.plane(HOST_BUF_BLUE), input.plane(HOST_BUF_ALPHA)};
  // The output's colour planes, known once renderInto has shaped them.
  float *out[4] = {nullptr, nullptr, nullptr, nullptr};
  const int firstRow = options.firstRow;

  // One pass: each pixel is evaluated once per rank that covers it, inside
  // the pass's own visit of the pixel.
  const PixelEvaluator soft = [&](const HostPixelAccess &access) {
    const std::size_t i =
        static_cast<std::size_t>(access.y - firstRow) * width + static_cast<std::size_t>(access.x);
    if (first.coverage[i] == 1.0f) {
      evaluate(access);
      return;
    }
    const RankPlanes *only = nullptr;
    int covering = 0;
    for (const RankPlanes &rank : ranks) {
      if (rank.coverage[i] > 0.0f) {
        ++covering;
        if (only == nullptr || rank.coverage[i] == 1.0f) only = &rank;
      }
    }
    if (covering == 0) return; // the pixel keeps its colour
    if (only->coverage[i] == 1.0f) {
      // Covered whole: exactly what the exact match gives.
      ids[i] = only->id[i];
      evaluate(access);
      return;
    }
    float p[4], sum[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int c = 0; c < 4; ++c) p[c] = in[c] != nullptr ? in[c][i] : 0.0f;
    bool changed = false;
    for (const RankPlanes &rank : ranks) {
      const float coverage = rank.coverage[i];
      if (!(coverage > 0.0f)) continue;
      for (int c = 0; c < 4; ++c) out[c][i] = p[c];
      ids[i] = rank.id[i];
      evaluate(access);
      for (int c = 0; c < 4; ++c) {
        const float f = out[c][i];
        if (!sameBits(f, p[c])) changed = true;
        sum[c] += coverage * (f - p[c]);
      }
    }
    for (int c = 0; c < 4; ++c) out[c][i] = changed ? p[c] + sum[c] : p[c];
  };
  // renderInto keeps the planes of an output already of the input's size.
  output.reshape(input.width(), input.height());
  for (int c = 0; c < 4; ++c) out[c] = output.mutablePlane(HOST_BUF_RED + c);
  renderInto(input, output, soft, options);
}

} // namespace qx
