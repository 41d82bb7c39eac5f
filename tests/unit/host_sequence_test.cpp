// Frame-number patterns and ranges as a sequence walks them, and the memory
// plan's choice of strips and threads: names are read back exactly as they
// are written, tasks are worked out without listing the frames, and a plan
// shrinks strips before threads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory_plan.h"
#include "frames/sequence.h"

namespace {

std::vector<int> walk(const qx::FrameRange &range) {
  std::vector<int> frames;
  for (int i = 0; i < range.count(); ++i) frames.push_back(range.at(i));
  return frames;
}

TEST(FramePatterns, NamesAreWrittenUncutUpToThirtyTwoDigitsAndReadBackOnlyAsWritten) {
  const std::string hashes24(24, '#');
  EXPECT_EQ(qx::expandFramePattern("f." + hashes24 + ".exr", 7),
            "f." + std::string(23, '0') + "7.exr");
  EXPECT_EQ(qx::expandFramePattern("o.%032d.exr", -12), "o.-" + std::string(30, '0') + "12.exr");
  EXPECT_EQ(qx::expandFramePattern("o.%02d.exr", 123), "o.123.exr") << "a wider number is kept";
  EXPECT_THROW(qx::expandFramePattern("o.%033d.exr", 1), qx::Error);
  EXPECT_THROW(qx::expandFramePattern("o.%02147483647d.exr", 1), qx::Error);

  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.11.exr"), 11);
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.111.exr"), 111);
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.-07.exr"), -7);
  EXPECT_EQ(qx::frameOfName("f." + hashes24 + ".exr", "f." + std::string(23, '0') + "5.exr"), 5);
  // Names expandFramePattern never writes for this pattern.
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.1.exr"), std::nullopt) << "too few digits";
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.011.exr"), std::nullopt) << "a zero too many";
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.-0.exr"), std::nullopt);
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.1a.exr"), std::nullopt);
  EXPECT_EQ(qx::frameOfName("f.##.exr", "g.11.exr"), std::nullopt);
  EXPECT_EQ(qx::frameOfName("f.##.exr", "f.99999999999.exr"), std::nullopt) << "past an int";
}

TEST(FrameRanges, TasksAreEveryNthFrameWorkedOutWithoutListingTheRange) {
  const qx::FrameRange range = qx::FrameRange::parse("3-20x4", "--frames"); // 3 7 11 15 19
  EXPECT_EQ(walk(range), (std::vector<int>{3, 7, 11, 15, 19}));
  EXPECT_EQ(walk(range.task("2/2", "--task")), (std::vector<int>{7, 15}));
  EXPECT_EQ(walk(range.task("1/2", "--task")), (std::vector<int>{3, 11, 19}));
  EXPECT_EQ(walk(range.task("5/6", "--task")), (std::vector<int>{19}));
  EXPECT_EQ(range.task("6/6", "--task").count(), 0);
  EXPECT_TRUE(range.contains(15));
  EXPECT_FALSE(range.contains(16));
  EXPECT_FALSE(range.contains(23)) << "past the last frame, on the step";

  const qx::FrameRange huge = qx::FrameRange::parse("-99999999-999999999", "--frames");
  EXPECT_EQ(huge.count(), 1099999999);
  // Task 7 of 1000: -99999993, then every 1000th frame up to the range's end.
  const qx::FrameRange seventh = huge.task("7/1000", "--task");
  ASSERT_EQ(seventh.count(), 1100000);
  EXPECT_EQ(seventh.at(seventh.count() - 1), 999999007);
  EXPECT_THROW(qx::FrameRange::parse("5-4", "--frames"), qx::Error);
  EXPECT_THROW(range.task("3/2", "--task"), qx::Error);
}

TEST(FrameRanges, ARunIsRefusedOnlyWhenAnOutputNamesAFrameOfThatRun) {
  const auto refusal = [](const std::string &in, const std::string &out, const std::string &frames,
                          const std::string &task) -> std::string {
    qx::FrameRange range = qx::FrameRange::parse(frames, "--frames");
    if (!task.empty()) range = range.task(task, "--task");
    try {
      qx::refuseOutputsOverInputs(in, out, range);
    } catch (const qx::Error &e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(refusal("f.##.exr", "f.1#.exr", "1-13", ""),
            "render: frame 1 (f.01.exr) would be written to f.11.exr, the input of frame 11, "
            "which the run reads; give --out another name");
  EXPECT_EQ(refusal("f.##.exr", "f.1#.exr", "1-2", ""), "") << "f.11 and f.12 are not read";
  EXPECT_EQ(refusal("f.##.exr", "f.1#.exr", "1-13", "2/3"), "") << "frames 2, 5, 8, 11";
  EXPECT_NE(refusal("f.##.exr", "f.1#.exr", "1-13", "2/2"), "") << "frame 2 writes f.12";
  EXPECT_NE(refusal("f.####.exr", "f.%04d.exr", "5-5", "").find("its own input"),
            std::string::npos);
  EXPECT_EQ(refusal("in.####.exr", "out.####.exr", "0-999999999", ""), "");
}

TEST(MemoryPlans, StripsShrinkToOneChunkBeforeThreadsAndSizesReadAsWritten) {
  // Each row of a strip takes 1000 bytes, each thread 10000.
  const auto cost = [](int rows, int threads) {
    return static_cast<std::uint64_t>(rows) * 1000 + static_cast<std::uint64_t>(threads) * 10000;
  };
  qx::MemoryPlan plan = qx::planMemory(200000, 64, 16, 8, cost);
  EXPECT_TRUE(plan.fits);
  EXPECT_EQ(plan.rows, 64) << "64 rows and 8 threads take 144000 bytes";
  plan = qx::planMemory(100000, 64, 16, 8, cost);
  EXPECT_EQ(plan.rows, 16);
  EXPECT_EQ(plan.threads, 8) << "16 rows on 8 threads take 96000 bytes";
  plan = qx::planMemory(50000, 64, 16, 8, cost);
  EXPECT_EQ(plan.rows, 16);
  EXPECT_EQ(plan.threads, 2) << "16 rows on 2 threads take 36000 bytes, on 4 56000";
  plan = qx::planMemory(20000, 64, 16, 8, cost);
  EXPECT_FALSE(plan.fits);
  EXPECT_EQ(plan.bytes, 26000u) << "one chunk on one thread";

  EXPECT_EQ(qx::parseByteSize("2GiB", "--max-memory"), 2147483648u);
  EXPECT_EQ(qx::parseByteSize("512M", "--max-memory"), 536870912u);
  EXPECT_EQ(qx::parseByteSize("64kb", "--max-memory"), 65536u);
  EXPECT_EQ(qx::parseByteSize("1000", "--max-memory"), 1000u);
  EXPECT_THROW(qx::parseByteSize("0", "--max-memory"), qx::Error);
  EXPECT_THROW(qx::parseByteSize("2Q", "--max-memory"), qx::Error);
  EXPECT_THROW(qx::parseByteSize("20000000000T", "--max-memory"), qx::Error);
  EXPECT_EQ(qx::byteText(std::uint64_t{2} << 30), "2 GiB");
  EXPECT_EQ(qx::byteText(86297395), "82.3 MiB");
}

} // namespace
