// The render pass: what the pixel-access records read and write, and how rows
// are shared out among threads.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "frames/renderer.h"

namespace {

qx::RenderOptions quiet(unsigned int threads) {
  qx::RenderOptions options;
  options.threads = threads;
  options.progress = nullptr;
  return options;
}

// A frame whose colour at (x, y) is (x, y, 10, 1) and whose "Shading"
// (buffer 9) is x + 100 y.
qx::Frame numberedFrame(int width, int height) {
  qx::Frame frame(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y * width + x);
      frame.mutablePlane(32)[i] = static_cast<float>(x);
      frame.mutablePlane(33)[i] = static_cast<float>(y);
      frame.mutablePlane(34)[i] = 10.0f;
      frame.mutablePlane(35)[i] = 1.0f;
      frame.mutablePlane(9)[i] = static_cast<float>(x + 100 * y);
    }
  }
  return frame;
}

TEST(RenderPass, PixelsTheFilterDoesNotWriteKeepTheirInputColour) {
  const qx::Frame input = numberedFrame(5, 4);
  const qx::Frame out = qx::renderFrame(
      input,
      [](const HostPixelAccess &access) {
        if (access.x != access.y) return;
        const float rgba[4] = {-1.0f, 2.5f, 0.0f, 0.5f};
        access.setRGBA(&access, rgba);
      },
      quiet(2));
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      const bool written = x == y;
      EXPECT_EQ(out.value(32, x, y), written ? -1.0f : static_cast<float>(x))
          << "red at (" << x << ", " << y << ")";
      EXPECT_EQ(out.value(33, x, y), written ? 2.5f : static_cast<float>(y))
          << "green at (" << x << ", " << y << ")";
      EXPECT_EQ(out.value(34, x, y), written ? 0.0f : 10.0f)
          << "blue at (" << x << ", " << y << ")";
      EXPECT_EQ(out.value(35, x, y), written ? 0.5f : 1.0f)
          << "alpha at (" << x << ", " << y << ")";
    }
  }
  for (int b = 0; b < 32; ++b) EXPECT_FALSE(out.has(b)) << "the output holds only the colour";
}

TEST(RenderPass, GetValReadsTheBuffersOfThePixelBeingEvaluated) {
  const qx::Frame input = numberedFrame(3, 2);
  const qx::Frame out = qx::renderFrame(
      input,
      [](const HostPixelAccess &access) {
        float shading = -1.0f;
        access.getVal(&access, 9, 1, &shading);
        float colour[4] = {-1, -1, -1, -1};
        access.getVal(&access, 32, 4, colour);
        // Buffer 14 is not in the frame, 15 and 16 have no channel, -1 and 36
        // lie outside the host's numbers: all read 0.0.
        float absent[3] = {-1, -1, -1};
        access.getVal(&access, 14, 3, absent);
        float outside[2] = {-1, -1};
        access.getVal(&access, -1, 1, &outside[0]);
        access.getVal(&access, 36, 1, &outside[1]);
        const float sum = absent[0] + absent[1] + absent[2] + outside[0] + outside[1];
        const float rgba[4] = {shading, colour[0] + 1000.0f * colour[1], colour[2] + colour[3],
                               sum};
        access.setRGBA(&access, rgba);
      },
      quiet(1));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(out.value(32, x, y), static_cast<float>(x + 100 * y))
          << "Shading read at (" << x << ", " << y << ")";
      EXPECT_EQ(out.value(33, x, y), static_cast<float>(x + 1000 * y))
          << "red and green read together at (" << x << ", " << y << ")";
      EXPECT_EQ(out.value(34, x, y), 11.0f) << "blue and alpha at (" << x << ", " << y << ")";
      EXPECT_EQ(out.value(35, x, y), 0.0f) << "absent buffers at (" << x << ", " << y << ")";
    }
  }
}

TEST(RenderPass, EveryPixelIsEvaluatedOnceAndEachRecordStaysOnOneThread) {
  const int width = 7, height = 9;
  const qx::Frame input = numberedFrame(width, height);
  std::mutex mutex;
  std::map<const HostPixelAccess *, std::set<std::thread::id>> threadsOfRecord;
  std::map<std::pair<int, int>, int> visits;
  qx::renderFrame(
      input,
      [&](const HostPixelAccess &access) {
        std::lock_guard<std::mutex> lock(mutex);
        threadsOfRecord[&access].insert(std::this_thread::get_id());
        ++visits[{access.x, access.y}];
      },
      quiet(3));
  EXPECT_EQ(visits.size(), static_cast<std::size_t>(width * height));
  for (const auto &[pixel, count] : visits) {
    EXPECT_EQ(count, 1) << "pixel (" << pixel.first << ", " << pixel.second << ") evaluated "
                        << count << " times";
  }
  EXPECT_LE(threadsOfRecord.size(), 3u) << "one access record per thread";
  for (const auto &[record, threads] : threadsOfRecord) {
    EXPECT_EQ(threads.size(), 1u) << "an access record was shared between threads";
  }
}

TEST(RenderPass, AFailureInTheEvaluationEndsThePassAndIsReported) {
  const qx::Frame input = numberedFrame(4, 6);
  std::string error = "(no error)";
  try {
    qx::renderFrame(
        input,
        [](const HostPixelAccess &access) {
          if (access.x == 2 && access.y == 3) throw qx::Error("pixel (2, 3) failed");
        },
        quiet(2));
  } catch (const qx::Error &e) {
    error = e.what();
  }
  EXPECT_EQ(error, "pixel (2, 3) failed");
}

TEST(RenderPass, ThreadCountDefaultsToOnePerCore) {
  const unsigned int cores = std::thread::hardware_concurrency();
  EXPECT_EQ(qx::renderThreads(0), cores > 0 ? cores : 1u);
  EXPECT_EQ(qx::renderThreads(3), 3u);
}

} // namespace
