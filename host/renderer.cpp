// The render pass over a frame.
#include "renderer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qx {
namespace {

// What a thread's access record points at: the input planes by buffer number
// (null for those the frame lacks) and the output colour planes.
struct PixelSource {
  const float *planes[kBufferSlots];
  float *out[4];
  std::size_t width;
};

// One thread's record and the pixel it stands on.
struct ThreadAccess {
  HostPixelAccess access;
  const PixelSource *source;
};

std::size_t pixelIndex(const HostPixelAccess *access, std::size_t width) {
  return static_cast<std::size_t>(access->y) * width + static_cast<std::size_t>(access->x);
}

void getVal(const HostPixelAccess *access, int buffer, int count, float *out) {
  const PixelSource *source = static_cast<const ThreadAccess *>(access->hostData)->source;
  const std::size_t i = pixelIndex(access, source->width);
  for (int n = 0; n < count; ++n) {
    const int b = buffer + n;
    const float *plane = (b >= 0 && b < kBufferSlots) ? source->planes[b] : nullptr;
    out[n] = plane != nullptr ? plane[i] : 0.0f;
  }
}

void setRGBA(const HostPixelAccess *access, const float rgba[4]) {
  const PixelSource *source = static_cast<const ThreadAccess *>(access->hostData)->source;
  const std::size_t i = pixelIndex(access, source->width);
  for (int c = 0; c < 4; ++c) source->out[c][i] = rgba[c];
}

bool isTerminal(std::FILE *stream) { return stream != nullptr && isatty(fileno(stream)) == 1; }

} // namespace

unsigned int renderThreads(unsigned int requested) {
  if (requested > 0) return requested;
  const unsigned int cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

Frame renderFrame(const Frame &input, const PixelEvaluator &evaluate,
                  const RenderOptions &options) {
  const int width = input.width();
  const int height = input.height();
  Frame output(width, height);
  PixelSource source{};
  source.width = static_cast<std::size_t>(width);
  for (int b = 0; b < kBufferSlots; ++b) source.planes[b] = input.plane(b);
  // Every pixel starts as its input colour, so that one the filter leaves
  // alone keeps it.
  for (int c = 0; c < 4; ++c) {
    float *out = output.mutablePlane(32 + c);
    const float *in = input.plane(32 + c);
    if (in != nullptr) std::copy(in, in + input.pixelCount(), out);
    source.out[c] = out;
  }

  unsigned int threadCount = renderThreads(options.threads);
  if (threadCount > static_cast<unsigned int>(height))
    threadCount = static_cast<unsigned int>(height);

  std::atomic<int> nextRow{0};
  std::atomic<int> rowsDone{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::condition_variable finished;
  unsigned int running = threadCount;
  std::exception_ptr error;

  auto work = [&]() {
    ThreadAccess record{};
    record.access.getVal = getVal;
    record.access.setRGBA = setRGBA;
    record.access.hostData = &record;
    record.source = &source;
    try {
      for (int y = nextRow++; y < height && !failed; y = nextRow++) {
        record.access.y = y;
        for (int x = 0; x < width; ++x) {
          record.access.x = x;
          evaluate(record.access);
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

  std::vector<std::thread> threads;
  threads.reserve(threadCount);
  for (unsigned int t = 0; t < threadCount; ++t) threads.emplace_back(work);

  const bool terminal = isTerminal(options.progress);
  const auto start = std::chrono::steady_clock::now();
  bool shown = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) {
      if (!terminal || std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) continue;
      const int percent = static_cast<int>(100LL * rowsDone.load() / height);
      std::fprintf(options.progress, "\rqxhost: rendering %dx%d: %3d%%", width, height, percent);
      std::fflush(options.progress);
      shown = true;
    }
  }
  for (std::thread &t : threads) t.join();
  if (shown) {
    std::fprintf(options.progress, "\rqxhost: rendering %dx%d: %s\n", width, height,
                 error ? "stopped" : "100%");
    std::fflush(options.progress);
  }
  if (error) std::rethrow_exception(error);
  return output;
}

} // namespace qx
