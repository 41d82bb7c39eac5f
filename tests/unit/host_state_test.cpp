// The load and save records the host hands to a filter instance.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "loader/filter.h"

namespace {

int readLine(const qx::LineSource &source, char *buffer, int capacity) {
  const HostLoadState *state = source.state();
  return state->read(state->readData, buffer, capacity);
}

void writeLine(const qx::LineSink &sink, const char *text, int length) {
  const HostSaveState *state = sink.state();
  state->write(state->writeData, text, length);
}

TEST(LoadState, GivesEachStoredLineInOrderThenMinusOneWithEmptyText) {
  qx::LineSource source({"-3 1 2", "1.000000 2 "});
  char buffer[120];
  EXPECT_EQ(readLine(source, buffer, 120), 6);
  EXPECT_STREQ(buffer, "-3 1 2");
  EXPECT_EQ(readLine(source, buffer, 80), 11);
  EXPECT_STREQ(buffer, "1.000000 2 ") << "the trailing space belongs to the line";

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(readLine(source, buffer, 80), -1) << "a read past the last line";
  EXPECT_EQ(buffer[0], '\0') << "after the last line the buffer holds the empty text";
  EXPECT_EQ(readLine(source, buffer, 80), -1) << "reads stay at the end";
  EXPECT_EQ(source.capacities(), (std::vector<int>{120, 80, 80, 80}));
}

TEST(LoadState, CutsALongLineToCapacityWithoutWritingPastIt) {
  const std::string longLine(100, 'a');
  qx::LineSource source({longLine, std::string(79, 'b'), std::string(80, 'c')});
  char buffer[90];
  std::memset(buffer, '#', sizeof buffer);

  EXPECT_EQ(readLine(source, buffer, 80), 79) << "capacity 80 leaves room for 79 characters";
  EXPECT_EQ(std::string(buffer), std::string(79, 'a'));
  for (int i = 80; i < 90; ++i) {
    EXPECT_EQ(buffer[i], '#') << "byte " << i << " lies past the capacity and was written";
  }
  EXPECT_EQ(readLine(source, buffer, 80), 79) << "79 characters fit exactly";
  EXPECT_EQ(std::string(buffer), std::string(79, 'b'));
  EXPECT_EQ(readLine(source, buffer, 80), 79) << "80 characters lose the last one";
  EXPECT_EQ(std::string(buffer), std::string(79, 'c'));
  EXPECT_EQ(source.remaining(), 0u) << "a cut line is still used up";
}

TEST(LoadState, CapacityOneGivesTheEmptyTextAndUsesUpTheLine) {
  qx::LineSource source({"-3 0 0", "next"});
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(readLine(source, buffer, 1), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x') << "capacity 1 allows the terminating zero only";
  EXPECT_EQ(readLine(source, buffer, 4), 3);
  EXPECT_STREQ(buffer, "nex");
}

TEST(SaveState, KeepsAtMostLengthCharactersOfEachLine) {
  qx::LineSink sink;
  writeLine(sink, "-3 1 2", 120);
  writeLine(sink, "abcdef", 3);
  // Not terminated within its length: only `length` characters may be read.
  const char unterminated[5] = {'h', 'e', 'l', 'l', 'o'};
  writeLine(sink, unterminated, 5);
  writeLine(sink, "1.000000 2 ", 120);
  writeLine(sink, "ignored", 0);
  writeLine(sink, nullptr, 120);
  EXPECT_EQ(sink.lines(),
            (std::vector<std::string>{"-3 1 2", "abc", "hello", "1.000000 2 ", "", ""}));
}

TEST(SaveState, LinesWrittenComeBackThroughALoadStateUnchanged) {
  qx::LineSink sink;
  writeLine(sink, "-3 1 1", 120);
  writeLine(sink, "2.500000 1 ", 120);
  writeLine(sink, "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0", 120);
  qx::LineSource source(sink.take());
  char buffer[80];
  std::vector<std::string> back;
  while (readLine(source, buffer, 80) >= 0) back.emplace_back(buffer);
  EXPECT_EQ(back, (std::vector<std::string>{"-3 1 1", "2.500000 1 ",
                                            "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"}));
}

} // namespace
