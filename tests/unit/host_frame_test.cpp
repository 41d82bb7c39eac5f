// Frames: the channel convention, EXR in and out, and the PNG conversion.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <half.h>
#include <png.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "base/error.h"
#include "frames/frame.h"
#include "frames/image_io.h"

#include "common/png_bytes.h"

namespace {

std::string tempPath(const std::string &name) {
  return testing::TempDir() + "host_frame_test_" + name;
}

template <class Action> std::string errorOf(Action action) {
  try {
    action();
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

// Writes an EXR straight through the library: each channel of the given
// pixel type, filled from `values` (row by row), with the data window's
// corner at (originX, originY).
void writeRawExr(const std::string &path, int width, int height,
                 const std::vector<std::pair<std::string, Imf::PixelType>> &channels,
                 const std::vector<std::vector<float>> &values, int originX = 0, int originY = 0) {
  const Imath::Box2i window(Imath::V2i(originX, originY),
                            Imath::V2i(originX + width - 1, originY + height - 1));
  Imf::Header header(window, window);
  Imf::FrameBuffer slices;
  std::vector<std::vector<half>> halves(channels.size());
  std::vector<std::vector<float>> floats(channels.size());
  for (std::size_t c = 0; c < channels.size(); ++c) {
    header.channels().insert(channels[c].first, Imf::Channel(channels[c].second));
    char *base;
    std::size_t size;
    if (channels[c].second == Imf::HALF) {
      for (float v : values[c]) halves[c].push_back(half(v));
      base = reinterpret_cast<char *>(halves[c].data());
      size = sizeof(half);
    } else {
      floats[c] = values[c];
      base = reinterpret_cast<char *>(floats[c].data());
      size = sizeof(float);
    }
    base -= static_cast<std::ptrdiff_t>(size) * (originX + originY * width);
    slices.insert(channels[c].first, Imf::Slice(channels[c].second, base, size,
                                                size * static_cast<std::size_t>(width)));
  }
  Imf::OutputFile file(path.c_str(), header);
  file.setFrameBuffer(slices);
  file.writePixels(height);
}

TEST(FrameChannels, EachHostBufferHasItsNamedChannel) {
  const std::pair<int, const char *> expected[] = {{0, "SpecialBuffer"},
                                                   {1, "Luminous"},
                                                   {2, "Diffuse"},
                                                   {3, "Specular"},
                                                   {4, "Reflective"},
                                                   {5, "Transparency"},
                                                   {6, "SurfaceColor.R"},
                                                   {7, "SurfaceColor.G"},
                                                   {8, "SurfaceColor.B"},
                                                   {9, "Shading"},
                                                   {10, "Shadow"},
                                                   {11, "Geometry"},
                                                   {12, "Depth"},
                                                   {13, "DiffuseShade"},
                                                   {14, "SpecularShade"},
                                                   {32, "R"},
                                                   {33, "G"},
                                                   {34, "B"},
                                                   {35, "A"}};
  for (const auto &[buffer, name] : expected) {
    const char *got = qx::bufferChannelName(buffer);
    EXPECT_STREQ(got, name) << "channel of buffer " << buffer;
    EXPECT_EQ(qx::bufferForChannel(name), buffer) << "buffer of channel \"" << name << "\"";
  }
  EXPECT_EQ(qx::bufferChannelName(15), nullptr) << "buffer 15 has no channel";
  EXPECT_EQ(qx::bufferChannelName(36), nullptr) << "buffer 36 is beyond the host's";
  EXPECT_EQ(qx::bufferForChannel("Z"), -1) << "an unknown channel names no buffer";
  EXPECT_EQ(qx::bufferForChannel("diffuse"), -1) << "channel names are case-sensitive";
}

TEST(FrameExr, WrittenBuffersReadBackExactlyAndOthersReadZero) {
  qx::Frame frame(4, 3);
  const int buffers[] = {0, 9, 13, 32, 33, 34, 35};
  for (int b : buffers) {
    float *plane = frame.mutablePlane(b);
    for (int i = 0; i < 12; ++i) plane[i] = static_cast<float>(b) + 0.125f * static_cast<float>(i);
  }
  frame.mutablePlane(32)[5] = -0.75f; // out-of-range colour survives as it is
  frame.mutablePlane(33)[6] = 7.5f;
  const std::string path = tempPath("roundtrip.exr");
  frame.writeExr(path);

  const qx::Frame back = qx::Frame::readExr(path);
  ASSERT_EQ(back.width(), 4);
  ASSERT_EQ(back.height(), 3);
  for (int b : buffers) {
    ASSERT_TRUE(back.has(b)) << "buffer " << b << " was written but did not come back";
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(back.value(b, x, y), frame.value(b, x, y))
            << "buffer " << b << " at (" << x << ", " << y << ")";
      }
    }
  }
  EXPECT_EQ(back.value(32, 1, 1), -0.75f);
  EXPECT_EQ(back.value(33, 2, 1), 7.5f);
  for (int b : {1, 2, 10, 12, 14}) {
    EXPECT_FALSE(back.has(b)) << "buffer " << b << " was never written";
    EXPECT_EQ(back.value(b, 3, 2), 0.0f) << "missing buffer " << b << " must read 0.0";
  }
}

TEST(FrameExr, HalfAndFloatChannelsReadAsFloatAndUnknownOnesAreIgnored) {
  const std::string path = tempPath("half.exr");
  writeRawExr(path, 2, 2,
              {{"Diffuse", Imf::HALF},
               {"R", Imf::HALF},
               {"SpecialBuffer", Imf::FLOAT},
               {"Normal.X", Imf::FLOAT}},
              {{0.5f, 0.25f, 1.5f, 0.0f},
               {0.125f, 2.0f, -1.0f, 0.75f},
               {1.0f, 2.0f, 3.0f, 0.1f},
               {9.0f, 9.0f, 9.0f, 9.0f}});
  const qx::Frame frame = qx::Frame::readExr(path);
  // Each of these values is exact in half precision.
  EXPECT_EQ(frame.value(2, 0, 0), 0.5f);
  EXPECT_EQ(frame.value(2, 1, 0), 0.25f);
  EXPECT_EQ(frame.value(2, 0, 1), 1.5f);
  EXPECT_EQ(frame.value(32, 1, 0), 2.0f);
  EXPECT_EQ(frame.value(32, 0, 1), -1.0f);
  EXPECT_EQ(frame.value(32, 1, 1), 0.75f);
  EXPECT_EQ(frame.value(0, 1, 1), 0.1f) << "a float channel keeps its 32-bit value";
  int held = 0;
  for (int b = 0; b < qx::kBufferSlots; ++b) held += frame.has(b) ? 1 : 0;
  EXPECT_EQ(held, 3) << "only Diffuse, R and SpecialBuffer name host buffers";
}

TEST(FrameExr, TheDataWindowCornerIsPixelZero) {
  const std::string path = tempPath("window.exr");
  writeRawExr(path, 3, 2, {{"Depth", Imf::FLOAT}}, {{1, 2, 3, 4, 5, 6}}, 10, 20);
  const qx::Frame frame = qx::Frame::readExr(path);
  ASSERT_EQ(frame.width(), 3);
  ASSERT_EQ(frame.height(), 2);
  EXPECT_EQ(frame.value(12, 0, 0), 1.0f);
  EXPECT_EQ(frame.value(12, 2, 0), 3.0f);
  EXPECT_EQ(frame.value(12, 0, 1), 4.0f);
  EXPECT_EQ(frame.value(12, 2, 1), 6.0f);
}

TEST(FrameExr, AFileThatCannotBeReadIsNamedInTheError) {
  const std::string missing = tempPath("no-such-frame.exr");
  std::string error = errorOf([&] { qx::Frame::readExr(missing); });
  EXPECT_NE(error.find(missing), std::string::npos) << "error was: " << error;

  const std::string text = tempPath("not-an-image.exr");
  std::ofstream(text) << "this is not an image\n";
  error = errorOf([&] { qx::Frame::readExr(text); });
  EXPECT_NE(error.find(text), std::string::npos) << "error was: " << error;

  const std::string folder = tempPath("no-such-folder/out.exr");
  error = errorOf([&] { qx::Frame(1, 1).writeExr(folder); });
  EXPECT_NE(error.find(folder), std::string::npos) << "error was: " << error;
}

TEST(FrameBuffers, MissingBuffersListsTheRequestedOnesTheFrameLacks) {
  qx::Frame frame(1, 1);
  frame.mutablePlane(0);
  frame.mutablePlane(2);
  frame.mutablePlane(9);
  // 0x41E7: the special buffer and the "AmbientLight" buffers 1, 2, 5, 6, 7, 8, 14.
  const std::vector<int> expected = {1, 5, 6, 7, 8, 14};
  EXPECT_EQ(qx::missingBuffers(frame, 0x41E7u), expected);
  EXPECT_TRUE(qx::missingBuffers(frame, 0x205u).empty()) << "buffers 0, 2 and 9 are all held";
}

TEST(PngConversion, ChannelsAreClampedThenTruncatedToBytes) {
  struct Case {
    float value;
    int byte;
  };
  // trunc(v * 255) after clamping to 0..1.
  const Case cases[] = {{0.0f, 0},         {1.0f, 255},
                        {0.5f, 127},       {0.999f, 254},
                        {0.2f, 51},        {1.0f / 255.0f, 1},
                        {0.0039f, 0},      {1.7f, 255},
                        {-0.3f, 0},        {std::numeric_limits<float>::infinity(), 255},
                        {std::nanf(""), 0}};
  for (const Case &c : cases) {
    EXPECT_EQ(static_cast<int>(qx::pngByte(c.value)), c.byte) << "channel value " << c.value;
  }
}

TEST(PngConversion, WrittenPngHoldsEightBitRgbaOfTheColourBuffers) {
  qx::Frame frame(3, 1);
  const float red[] = {0.5f, 1.2f, -0.1f};
  const float green[] = {0.25f, 0.0f, 0.999f};
  const float blue[] = {1.0f, 0.75f, 0.2f};
  std::copy(red, red + 3, frame.mutablePlane(32));
  std::copy(green, green + 3, frame.mutablePlane(33));
  std::copy(blue, blue + 3, frame.mutablePlane(34));
  // No "A": the alpha reads 0.0 and goes out as 0.
  const std::string path = tempPath("colour.png");
  qx::writeImage(path, frame);

  const testpng::StoredPng image = testpng::readStoredPng(path);
  ASSERT_TRUE(image.ok) << path << " is not a readable PNG";
  EXPECT_EQ(image.width, 3u);
  EXPECT_EQ(image.height, 1u);
  EXPECT_EQ(image.channels, 4) << "the PNG is RGBA";
  const std::vector<png_byte> &bytes = image.bytes;
  const std::vector<png_byte> expected = {127, 63, 255, 0, 255, 0, 191, 0, 0, 254, 51, 0};
  EXPECT_EQ(bytes, expected);
}

TEST(ImageOutput, TheFileNameChoosesTheFormat) {
  EXPECT_EQ(qx::imageFormatFor("a/b.exr"), qx::ImageFormat::Exr);
  EXPECT_EQ(qx::imageFormatFor("B.PNG"), qx::ImageFormat::Png);
  const std::string error = errorOf([] { qx::imageFormatFor("x.dir/picture.tif"); });
  EXPECT_NE(error.find("x.dir/picture.tif"), std::string::npos) << "error was: " << error;
  EXPECT_NE(errorOf([] { qx::imageFormatFor("x.exr/picture"); }), "(no error)")
      << "a dot in a folder name is no extension";
}

} // namespace
