// Frames as .npy planes: the file bytes NumPy itself reads, a frame's round
// trip through a folder, and planes the host must refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "base/error.h"
#include "frames/frame.h"
#include "frames/npy.h"

namespace {

std::string tempFolder(const std::string &name) {
  const std::string dir = testing::TempDir() + "host_npy_test_" + name + "/";
  std::filesystem::remove_all(dir);
  return dir;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <class Action> std::string errorOf(Action action) {
  try {
    action();
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

TEST(NpyPlanes, AFloatPlaneIsTheVersionOneLayoutWithItsValuesOnA64ByteBoundary) {
  // 1.0f is 0x3F800000 and -2.0f is 0xC0000000, stored little-endian.
  const std::vector<float> values = {1.0f, -2.0f};
  const std::string file = qx::npyFile(qx::NpyType::Float32, {1, 2}, values.data());
  const std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (1, 2), }";
  // 10 bytes of magic, version and length, the 59-byte dictionary and its
  // line break, padded with spaces to 128: a header length of 118 (0x76).
  ASSERT_EQ(dict.size(), 59u);
  std::string expected = std::string("\x93NUMPY\x01\x00", 8) + std::string("\x76\x00", 2) + dict;
  expected.append(128 - 10 - 59 - 1, ' ');
  expected += '\n';
  expected += std::string("\x00\x00\x80\x3f\x00\x00\x00\xc0", 8);
  EXPECT_EQ(file, expected) << "the .npy bytes of a 1x2 float plane";
}

TEST(NpyPlanes, AFrameComesBackFromItsFolderBitForBit) {
  qx::Frame frame(3, 2);
  float *r = frame.mutablePlane(32);
  float *sb = frame.mutablePlane(0);
  const float odd[6] = {0.1f,
                        -0.0f,
                        std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::denorm_min(),
                        1e30f,
                        -7.25f};
  for (int i = 0; i < 6; ++i) {
    r[i] = odd[i];
    sb[i] = static_cast<float>(i);
  }
  const std::string dir = tempFolder("round_trip");
  frame.writePlanes(dir);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir + "R.npy"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir + "SpecialBuffer.npy"));
  EXPECT_FALSE(std::filesystem::exists(dir + "G.npy")) << "a buffer the frame lacks is no file";

  const qx::Frame back = qx::Frame::readPlanes(dir);
  ASSERT_EQ(back.width(), 3);
  ASSERT_EQ(back.height(), 2);
  EXPECT_FALSE(back.has(33));
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(std::signbit(back.plane(32)[i]), std::signbit(odd[i])) << "R at " << i;
    EXPECT_EQ(back.value(32, i % 3, i / 3), odd[i]) << "R at " << i;
    EXPECT_EQ(back.value(0, i % 3, i / 3), static_cast<float>(i)) << "SpecialBuffer at " << i;
  }
}

TEST(NpyPlanes, PlanesOfTheWrongTypeSizeOrLengthAreRefusedByName) {
  const std::string dir = tempFolder("refused");
  std::filesystem::create_directories(dir);
  const std::vector<float> four = {1, 2, 3, 4};
  qx::writeNpy(dir + "R.npy", qx::NpyType::Float32, {2, 2}, four.data());
  qx::writeNpy(dir + "G.npy", qx::NpyType::Float32, {1, 4}, four.data());
  EXPECT_EQ(errorOf([&] { qx::Frame::readPlanes(dir); }),
            dir + "G.npy: the plane is 4x1, the folder's first is 2x2");

  std::filesystem::remove(dir + "G.npy");
  const std::string whole = readFile(dir + "R.npy");
  std::ofstream(dir + "R.npy", std::ios::binary) << whole.substr(0, whole.size() - 1);
  EXPECT_EQ(errorOf([&] { qx::Frame::readPlanes(dir); }),
            dir + "R.npy: not a .npy array the host reads: the shape (2, 2) needs 16 bytes of "
                  "elements, the file holds 15");

  const unsigned char bytes[4] = {1, 2, 3, 4};
  qx::writeNpy(dir + "R.npy", qx::NpyType::UInt8, {2, 2}, bytes);
  EXPECT_EQ(errorOf([&] { qx::Frame::readPlanes(dir); }),
            dir + "R.npy: a plane must be float32 of shape (height, width)");

  std::filesystem::remove(dir + "R.npy");
  EXPECT_EQ(errorOf([&] { qx::Frame::readPlanes(dir); }),
            dir + ": holds no plane of a host buffer (such as \"R.npy\")");
}

} // namespace
