// The channel map's edges: which names stand for a buffer, how a --ch list
// is split and read, and when two colour buffers would share one channel.
#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "frames/channel_map.h"

namespace {

// The error text of adding `text`, or "" when it was taken.
std::string refusal(qx::ChannelMap &map, const std::string &text) {
  try {
    map.addText(text, "--ch");
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "";
}

TEST(ChannelMaps, BuffersAreNamedByChannelOrByANumberBelowThirtySix) {
  EXPECT_EQ(qx::ChannelMap::bufferNamed("SpecialBuffer"), 0);
  EXPECT_EQ(qx::ChannelMap::bufferNamed("A"), 35);
  EXPECT_EQ(qx::ChannelMap::bufferNamed("35"), 35);
  EXPECT_EQ(qx::ChannelMap::bufferNamed("36"), -1);
  EXPECT_EQ(qx::ChannelMap::bufferNamed("007"), -1) << "three digits are no buffer number";
  EXPECT_EQ(qx::ChannelMap::bufferNamed("-1"), -1);
  EXPECT_EQ(qx::ChannelMap::bufferNamed(""), -1);
}

TEST(ChannelMaps, AListIsReadItemByItemAndABadItemIsNamed) {
  qx::ChannelMap map;
  EXPECT_EQ(map.source(32).channel, "R") << "unmapped buffers read their own channel";
  EXPECT_FALSE(map.isMapped(32));
  EXPECT_EQ(refusal(map, " R = Y , Shadow=0.25,12=depth.Z"), "");
  EXPECT_EQ(map.source(32).channel, "Y");
  EXPECT_TRUE(map.isMapped(32));
  EXPECT_EQ(map.source(10).kind, qx::ChannelSource::Kind::Constant);
  EXPECT_EQ(map.source(10).constant, 0.25f);
  EXPECT_EQ(map.source(12).channel, "depth.Z");
  // A later list may map a buffer again; one list may not.
  EXPECT_EQ(refusal(map, "R=X"), "");
  EXPECT_EQ(map.source(32).channel, "X");
  EXPECT_EQ(refusal(map, "G=X,G=Y"),
            "--ch: \"G=Y\": buffer 33 is mapped twice in one list; the first would be lost");
  EXPECT_EQ(refusal(map, "R=Y,"), "--ch: \"\" is not BUFFER=CHANNEL");
  EXPECT_EQ(refusal(map, "R="), "--ch: \"R=\" names no channel");
}

TEST(ChannelMaps, TwoColourBuffersInOneChannelAreFoundButConstantsNever) {
  qx::ChannelMap map;
  EXPECT_EQ(map.colourCollision(), "");
  ASSERT_EQ(refusal(map, "B=1,A=1"), ""); // the same constant twice writes no channel
  EXPECT_EQ(map.colourCollision(), "");
  ASSERT_EQ(refusal(map, "G=A"), ""); // A still reads the constant
  EXPECT_EQ(map.colourCollision(), "");
  ASSERT_EQ(refusal(map, "A=R"), "");
  EXPECT_EQ(map.colourCollision(), "both R and A would be written into channel \"R\"");
}

} // namespace
