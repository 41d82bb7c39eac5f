// Reading a part strip by strip, the chunks of plain and deflated parts
// straight into the strip and the others through the library's frame
// buffer, must give what the library reads from the same file: every
// compression, pixel type, line order, an odd window and stored (not
// deflated) chunks among deflated ones.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <half.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "frames/exr_input.h"

namespace {

struct Channel {
  const char *name;
  Imf::PixelType type;
};
// R, G, B, A and SpecialBuffer are read as buffers (the uint one also kept
// raw); Z and N.x only pass through.
const Channel kChannels[] = {
    {"R", Imf::HALF},  {"G", Imf::FLOAT},  {"B", Imf::FLOAT},           {"A", Imf::HALF},
    {"Z", Imf::FLOAT}, {"N.x", Imf::HALF}, {"SpecialBuffer", Imf::UINT}};
const Imath::Box2i kWindow(Imath::V2i(-3, 5), Imath::V2i(33, 45)); // 37 x 41

std::size_t bytesOf(Imf::PixelType type) { return type == Imf::HALF ? 2 : 4; }

// Each channel's samples as the file holds them, row by row.
using Samples = std::vector<std::vector<char>>;

// Smooth rows that deflate well, then rows of noise that do not, so that a
// deflated file holds chunks of both kinds.
Samples makeSamples() {
  const int width = kWindow.max.x - kWindow.min.x + 1, height = kWindow.max.y - kWindow.min.y + 1;
  std::mt19937 random(7);
  Samples samples;
  for (const Channel &c : kChannels) {
    std::vector<char> bytes(static_cast<std::size_t>(width * height) * bytesOf(c.type));
    for (int i = 0; i < width * height; ++i) {
      const bool noise = i / width >= 20;
      const float v = noise ? std::uniform_real_distribution<float>(-4.0f, 4.0f)(random)
                            : 0.25f * static_cast<float>(i % width) / static_cast<float>(width);
      char *at = &bytes[static_cast<std::size_t>(i) * bytesOf(c.type)];
      if (c.type == Imf::HALF) {
        const std::uint16_t bits = half(v).bits();
        std::memcpy(at, &bits, 2);
      } else if (c.type == Imf::FLOAT) {
        std::memcpy(at, &v, 4);
      } else {
        const std::uint32_t id = static_cast<std::uint32_t>(noise ? random() : i % 3);
        std::memcpy(at, &id, 4);
      }
    }
    samples.push_back(std::move(bytes));
  }
  return samples;
}

Imf::FrameBuffer slicesOver(Samples &samples) {
  const int width = kWindow.max.x - kWindow.min.x + 1;
  Imf::FrameBuffer slices;
  for (std::size_t c = 0; c < samples.size(); ++c) {
    const std::size_t size = bytesOf(kChannels[c].type);
    char *base = samples[c].data() - (kWindow.min.x + kWindow.min.y * width) * size;
    slices.insert(kChannels[c].name, Imf::Slice(kChannels[c].type, base, size, size * width));
  }
  return slices;
}

void write(const std::string &path, Imf::Compression compression, Imf::LineOrder order,
           Samples samples) {
  Imf::Header header(kWindow, kWindow);
  header.compression() = compression;
  header.lineOrder() = order;
  for (const Channel &c : kChannels) header.channels().insert(c.name, Imf::Channel(c.type));
  Imf::OutputFile file(path.c_str(), header);
  file.setFrameBuffer(slicesOver(samples));
  file.writePixels(kWindow.max.y - kWindow.min.y + 1);
}

qx::ExrReadOptions readOptions() {
  qx::ExrReadOptions options;
  for (int b : {0, 32, 33, 34, 35}) options.buffers.set(static_cast<std::size_t>(b));
  return options;
}

std::string tempPath(const std::string &name) {
  return (std::filesystem::temp_directory_path() / ("qx_chunks_" + name)).string();
}

TEST(ExrStrips, EveryCompressionAndLineOrderReadsWhatTheLibraryReads) {
  const Samples made = makeSamples();
  const int width = kWindow.max.x - kWindow.min.x + 1, height = kWindow.max.y - kWindow.min.y + 1;
  const struct {
    Imf::Compression compression;
    Imf::LineOrder order;
  } cases[] = {
      {Imf::NO_COMPRESSION, Imf::INCREASING_Y},  {Imf::ZIPS_COMPRESSION, Imf::INCREASING_Y},
      {Imf::ZIP_COMPRESSION, Imf::INCREASING_Y}, {Imf::ZIP_COMPRESSION, Imf::DECREASING_Y},
      {Imf::RLE_COMPRESSION, Imf::INCREASING_Y}, {Imf::PIZ_COMPRESSION, Imf::INCREASING_Y}};
  for (const auto &k : cases) {
    const std::string path = tempPath("frame.exr");
    const std::string label =
        "compression " + std::to_string(k.compression) + ", line order " + std::to_string(k.order);
    write(path, k.compression, k.order, made);
    Samples expected = made;
    {
      Imf::InputFile file(path.c_str());
      file.setFrameBuffer(slicesOver(expected));
      file.readPixels(kWindow.min.y, kWindow.max.y);
    }

    qx::ExrInput input(path, readOptions());
    const int step = input.rowAlignment() * (k.compression == Imf::ZIPS_COMPRESSION ? 7 : 1);
    for (int row = 0; row < height; row += step) {
      qx::ExrStrip strip;
      const int rows = std::min(step, height - row);
      input.read(row, rows, strip);
      const std::size_t first = static_cast<std::size_t>(row * width);
      const std::size_t count = static_cast<std::size_t>(rows * width);
      for (std::size_t c = 0; c < std::size(kChannels); ++c) {
        const Channel &channel = kChannels[c];
        const std::size_t size = bytesOf(channel.type);
        const char *want = &expected[c][first * size];
        const int buffer =
            std::strcmp(channel.name, "SpecialBuffer") == 0 ? 0
            : channel.name[1] == '\0' && std::strchr("RGBA", channel.name[0])
                ? 32 + static_cast<int>(std::strchr("RGBA", channel.name[0]) - "RGBA")
                : -1;
        if (buffer >= 0) {
          const float *plane = strip.frame.plane(buffer);
          ASSERT_NE(plane, nullptr) << label << ": " << channel.name;
          for (std::size_t i = 0; i < count; ++i) {
            float v;
            if (channel.type == Imf::HALF) {
              std::uint16_t bits;
              std::memcpy(&bits, want + i * 2, 2);
              half h;
              h.setBits(bits);
              v = h;
            } else if (channel.type == Imf::FLOAT) {
              std::memcpy(&v, want + i * 4, 4);
            } else {
              std::uint32_t id;
              std::memcpy(&id, want + i * 4, 4);
              v = static_cast<float>(id);
            }
            ASSERT_EQ(plane[i], v) << label << ": " << channel.name << " sample " << first + i;
          }
        }
        // Pass-through channels, and the uint buffer, also come as the
        // file's own samples.
        for (std::size_t p = 0; p < input.passThrough().size(); ++p) {
          if (input.passThrough()[p].name != channel.name) continue;
          ASSERT_EQ(strip.raw[p].size(), count * size) << label << ": " << channel.name;
          EXPECT_EQ(std::memcmp(strip.raw[p].data(), want, count * size), 0)
              << label << ": " << channel.name << " rows " << row << "+" << rows;
        }
      }
    }
    EXPECT_EQ(input.passThrough().size(), 3u) << label << ": Z, N.x and SpecialBuffer";
  }
}

TEST(ExrStrips, ADamagedDeflatedChunkIsAnErrorNamingTheFile) {
  const std::string path = tempPath("damaged.exr");
  write(path, Imf::ZIP_COMPRESSION, Imf::INCREASING_Y, makeSamples());
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The first chunk (smooth rows, so deflated) starts where the table of
  // the three chunks' offsets, right after the header, ends.
  std::uint64_t first = 0;
  for (std::size_t at = 8; at + 24 < bytes.size() && first == 0; ++at) {
    std::uint64_t offset;
    std::memcpy(&offset, &bytes[at], 8);
    if (offset == at + 24) first = offset;
  }
  ASSERT_NE(first, 0u) << "the chunk offsets were not found";
  // Past the chunk's row and size, inside its deflated bytes.
  file.clear();
  file.seekp(static_cast<std::streamoff>(first + 8 + 16));
  const std::string junk(32, '\xff');
  file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  file.close();

  qx::ExrInput input(path, readOptions());
  const int height = kWindow.max.y - kWindow.min.y + 1;
  qx::ExrStrip strip;
  try {
    for (int row = 0; row < height; row += 16) input.read(row, std::min(16, height - row), strip);
    FAIL() << "a damaged chunk read without an error";
  } catch (const qx::Error &e) {
    EXPECT_NE(std::string(e.what()).find(path + ": cannot read the frame"), std::string::npos)
        << e.what();
  }
}

// Some writers pad a chunk they store unpacked, the last and partial one
// above all, to more bytes than its rows take. The library reads its rows
// and ignores the rest; the chunk reader must too.
TEST(ExrStrips, AStoredChunkWithPaddingPastItsRowsReadsAsTheLibraryReadsIt) {
  const std::string path = tempPath("padded.exr");
  Samples made = makeSamples();
  write(path, Imf::ZIP_COMPRESSION, Imf::INCREASING_Y, made);
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The offset table (three chunks of 16 rows over 41) sits right before
  // the first chunk; the last chunk, 9 rows of noise, is stored and ends
  // the file.
  std::uint64_t table = 0;
  for (std::size_t at = 8; at + 24 < bytes.size() && table == 0; ++at) {
    std::uint64_t offset;
    std::memcpy(&offset, &bytes[at], 8);
    if (offset == at + 24) table = at;
  }
  ASSERT_NE(table, 0u) << "the chunk offsets were not found";
  std::uint64_t last;
  std::memcpy(&last, &bytes[table + 16], 8);
  std::int32_t size;
  std::memcpy(&size, &bytes[last + 4], 4);
  const int width = kWindow.max.x - kWindow.min.x + 1;
  ASSERT_EQ(size, 9 * width * 22) << "the last chunk must be stored, not deflated";
  ASSERT_EQ(last + 8 + static_cast<std::uint64_t>(size), bytes.size());
  size += 16;
  std::memcpy(&bytes[last + 4], &size, 4);
  bytes.append(16, '\x5a');
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  Samples expected = made;
  {
    Imf::InputFile file(path.c_str());
    file.setFrameBuffer(slicesOver(expected));
    file.readPixels(kWindow.min.y, kWindow.max.y);
  }
  EXPECT_EQ(expected, made) << "the library reads the padded file as it was written";
  qx::ExrInput input(path, readOptions());
  qx::ExrStrip strip;
  const int height = kWindow.max.y - kWindow.min.y + 1;
  input.read(0, height, strip);
  const float *g = strip.frame.plane(33); // float G: compared bit for bit
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(std::memcmp(g, made[1].data(), made[1].size()), 0);
}

} // namespace
