// qxhost render copying the chunks the filter leaves alone: the chunks read
// raw through the core library, and every output compared, sample for sample
// and attribute for attribute, with the library's own writer's (a render
// given --zip-level 4, the library's own level, which turns the copy off).
// Every input is made here with OpenEXR.
#include <gtest/gtest.h>

#include <ImfAttribute.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfIO.h>
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>
#include <ImfPartType.h>
#include <ImfTiledInputPart.h>
#include <ImfVersion.h>
#include <openexr.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "exr_make.h"
#include "qxhost_run.h"

namespace {

using namespace e2e;

// Entry 2.0 adds white at half strength (see exr_pipeline_test.cpp): a pixel
// of special-buffer value 2 changes unless its colour is too large for half
// to hold the change. Value 0 has no entry.
const char kCopyScene[] = R"({"surfaces": [{"name": "Cloth", "SpecialBuffer1": 2.0,
  "BaseColor": [0.2, 0.2, 0.9]}], "filter": {"state": ["-3 1 1", "2.000000 1 ",
  "0 1 255 255 255 50.000000 1 12 1 0 100.000000 0"]}})";

// Each chunk of the first part as the file stores it, by its first row.
std::map<int, std::string> rawChunks(const std::string &path) {
  std::map<int, std::string> chunks;
  exr_context_t file = nullptr;
  if (exr_start_read(&file, path.c_str(), nullptr) != EXR_ERR_SUCCESS) {
    ADD_FAILURE() << path << " does not open";
    return chunks;
  }
  exr_attr_box2i_t window{};
  int32_t rows = 0;
  exr_get_data_window(file, 0, &window);
  exr_get_scanlines_per_chunk(file, 0, &rows);
  for (int y = window.min.y; y <= window.max.y; y += rows) {
    exr_chunk_info_t info{};
    std::string bytes;
    if (exr_read_scanline_chunk_info(file, 0, y, &info) == EXR_ERR_SUCCESS) {
      bytes.resize(info.packed_size);
      if (exr_read_chunk(file, 0, &info, bytes.data()) != EXR_ERR_SUCCESS) bytes.clear();
    }
    chunks[y] = bytes;
  }
  exr_finish(&file);
  return chunks;
}

// An attribute's value as the library writes it.
class ValueBytes : public Imf::OStream {
public:
  ValueBytes() : Imf::OStream("value") {}
  void write(const char c[], int n) override { bytes.append(c, static_cast<std::size_t>(n)); }
  uint64_t tellp() override { return bytes.size(); }
  void seekp(uint64_t) override {}
  std::string bytes;
};

// What a file holds, part by part: every attribute ("name type: value
// bytes") and every channel's samples in its own type.
struct Decoded {
  std::vector<std::map<std::string, std::string>> attributes;
  std::vector<std::map<std::string, std::vector<char>>> samples;
};

Decoded decode(const std::string &path) {
  Decoded d;
  Imf::MultiPartInputFile file(path.c_str());
  for (int p = 0; p < file.parts(); ++p) {
    const Imf::Header &header = file.header(p);
    std::map<std::string, std::string> attributes;
    for (auto it = header.begin(); it != header.end(); ++it) {
      ValueBytes value;
      it.attribute().writeValueTo(value, Imf::EXR_VERSION);
      attributes[it.name()] = std::string(it.attribute().typeName()) + ": " + value.bytes;
    }
    d.attributes.push_back(attributes);
    // Read through the library's whole-file reader, which flattens tiles.
    const Imath::Box2i w = header.dataWindow();
    const std::size_t width = static_cast<std::size_t>(w.max.x - w.min.x + 1);
    const std::size_t height = static_cast<std::size_t>(w.max.y - w.min.y + 1);
    std::map<std::string, std::vector<char>> samples;
    Imf::FrameBuffer slices;
    for (auto it = header.channels().begin(); it != header.channels().end(); ++it) {
      const std::size_t size = it.channel().type == Imf::HALF ? 2 : 4;
      std::vector<char> &plane = samples[it.name()];
      plane.resize(width * height * size);
      slices.insert(it.name(),
                    Imf::Slice::Make(it.channel().type, plane.data(), w, size, size * width));
    }
    d.samples.push_back(std::move(samples));
    if (header.hasTileDescription()) {
      Imf::TiledInputPart part(file, p);
      part.setFrameBuffer(slices);
      part.readTiles(0, part.numXTiles() - 1, 0, part.numYTiles() - 1);
    } else {
      Imf::InputPart part(file, p);
      part.setFrameBuffer(slices);
      part.readPixels(w.min.y, w.max.y);
    }
  }
  return d;
}

void expectSameFile(const std::string &path, const std::string &reference) {
  const Decoded got = decode(path), want = decode(reference);
  ASSERT_EQ(got.attributes.size(), want.attributes.size()) << path << ": parts";
  for (std::size_t p = 0; p < want.attributes.size(); ++p) {
    EXPECT_EQ(got.attributes[p], want.attributes[p]) << path << ": attributes of part " << p;
    for (const auto &[name, plane] : want.samples[p]) {
      EXPECT_TRUE(got.samples[p].count(name) == 1 && got.samples[p].at(name) == plane)
          << path << ": channel " << name << " of part " << p << " differs from " << reference;
    }
  }
}

std::string renderCopy(const std::string &dir, const std::string &in, const std::string &out,
                       const std::string &more = "") {
  return "render --verbose --scene '" + dir + "/scene.json' --frame '" + in + "' --out '" + out +
         "' " + more;
}

// What --verbose says of the chunks of `out`.
std::string chunkLine(const Outcome &run, const std::string &out) {
  const std::string lead = "qxhost: " + out + ": ";
  for (std::size_t at = run.err.find(lead); at != std::string::npos;
       at = run.err.find(lead, at + 1)) {
    const std::size_t end = run.err.find('\n', at);
    const std::string line = run.err.substr(at + lead.size(), end - at - lead.size());
    if (line.find("chunk") != std::string::npos) return line;
  }
  return "(no line on the chunks)";
}

// 24 wide, 64 tall: half colour, a float special buffer whose rows 20 to 27
// hold 2 (the band the filter changes), a float and a uint pass-through
// channel, and at (5, 40), outside the band, a pixel of value 2 whose colour
// half cannot change by 0.5.
MadePart bandFrame(Imf::Compression compression) {
  const int width = 24, height = 64, count = width * height;
  std::vector<double> wave(count), alpha(count, 1.0), special(count, 0.0), depth(count), ids(count);
  for (int i = 0; i < count; ++i) {
    const int x = i % width, y = i / width;
    wave[i] = 0.5 + 0.5 * std::sin(0.3 * x + 0.11 * y);
    depth[i] = 10.0 + 0.25 * x * y;
    ids[i] = 4000000000.0 + 7.0 * i;
    if (y >= 20 && y <= 27) special[i] = 2.0;
  }
  const int big = 40 * width + 5;
  special[big] = 2.0;
  wave[big] = alpha[big] = 4096.0;
  MadePart part{
      "", box(0, 0, width - 1, height - 1), box(0, 0, width - 1, height - 1), {}, 0, Imf::Header()};
  part.channels = {{"R", Imf::HALF, wave},
                   {"G", Imf::HALF, wave},
                   {"B", Imf::HALF, wave},
                   {"A", Imf::HALF, alpha},
                   {"SpecialBuffer", Imf::FLOAT, special},
                   {"Z", Imf::FLOAT, depth},
                   {"objectId", Imf::UINT, ids}};
  part.extra.compression() = compression;
  // Packed more tightly than the renderer packs: a chunk packed again
  // differs from the one read.
  part.extra.zipCompressionLevel() = 9;
  return part;
}

TEST(ChunkCopy, ChunksTheFilterLeavesAloneAreCopiedAsReadAndTheFileDecodesAsTheWritersOwn) {
  const std::string dir = freshDir("story_chunk_copy");
  writeFile(dir + "/scene.json", kCopyScene);
  struct Case {
    const char *name;
    Imf::Compression compression;
    int chunkRows;
  };
  for (const Case &c :
       {Case{"zip", Imf::ZIP_COMPRESSION, 16}, Case{"zips", Imf::ZIPS_COMPRESSION, 1},
        Case{"none", Imf::NO_COMPRESSION, 1}}) {
    SCOPED_TRACE(c.name);
    const std::string in = dir + "/" + c.name + ".exr";
    writeParts(in, {bandFrame(c.compression)});
    const std::string out = dir + "/" + c.name + "-out.exr";
    const std::string reference = dir + "/" + c.name + "-ref.exr";
    const Outcome copied = qxhost(renderCopy(dir, in, out));
    ASSERT_EQ(copied.status, 0) << copied.err;
    const Outcome written = qxhost(renderCopy(dir, in, reference, "--zip-level 4"));
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(chunkLine(written, reference), "every chunk encoded again: a deflate level is given");

    // Rows 20 to 27 change; the chunk of row 40 is written by the filter
    // but comes out the same.
    const int chunks = 64 / c.chunkRows;
    const int changed = c.chunkRows == 16 ? 1 : 8;
    EXPECT_EQ(chunkLine(copied, out), std::to_string(chunks - changed) + " of " +
                                          std::to_string(chunks) + " chunks copied as read, " +
                                          std::to_string(changed) + " encoded");
    const std::map<int, std::string> read = rawChunks(in), got = rawChunks(out),
                                     anew = rawChunks(reference);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(chunks));
    for (const auto &[y, bytes] : read) {
      const bool inBand = y + c.chunkRows > 20 && y <= 27;
      if (inBand) {
        EXPECT_NE(got.at(y), bytes) << "the changed chunk at row " << y << " was copied";
      } else {
        EXPECT_EQ(got.at(y), bytes) << "the chunk at row " << y << " is not the one read";
      }
    }
    if (c.compression != Imf::NO_COMPRESSION) {
      EXPECT_NE(anew.at(48), read.at(48)) << "packing again would have given the same bytes";
    }
    expectSameFile(out, reference);
  }

  // Premultiplied colour divided and multiplied back: what changes bits is
  // packed again, and the file still decodes as the writer's own.
  const std::string in = dir + "/zip.exr", out = dir + "/pre-out.exr", ref = dir + "/pre-ref.exr";
  ASSERT_EQ(qxhost(renderCopy(dir, in, out, "--alpha premultiplied")).status, 0);
  ASSERT_EQ(qxhost(renderCopy(dir, in, ref, "--alpha premultiplied --zip-level 4")).status, 0);
  expectSameFile(out, ref);
}

TEST(ChunkCopy, TiledAndMultiPartFilesAndAnyChangeOfLayoutPackEveryChunkAsBefore) {
  const std::string dir = freshDir("story_chunk_fallback");
  writeFile(dir + "/scene.json", kCopyScene);
  MadePart tiled = bandFrame(Imf::ZIP_COMPRESSION);
  tiled.tileSize = 16;
  writeParts(dir + "/tiled.exr", {tiled});
  MadePart second = bandFrame(Imf::ZIP_COMPRESSION);
  second.name = "second";
  MadePart first = bandFrame(Imf::ZIP_COMPRESSION);
  first.name = "first";
  writeParts(dir + "/parts.exr", {first, second});
  writeParts(dir + "/zip.exr", {bandFrame(Imf::ZIP_COMPRESSION)});

  struct Case {
    std::string in, options, reason;
  };
  for (const Case &c : {Case{"tiled.exr", "", "the part is tiled"},
                        Case{"parts.exr", "", "the file has several parts"},
                        Case{"zip.exr", "--half", "pixel types are changed"},
                        Case{"zip.exr", "--zip-level 9", "a deflate level is given"},
                        Case{"zip.exr", "--keep rgba", "only R, G, B and A are kept"}}) {
    SCOPED_TRACE(c.in + " " + c.options);
    const std::string out = dir + "/out.exr";
    const Outcome run = qxhost(renderCopy(dir, dir + "/" + c.in, out, c.options));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(chunkLine(run, out), "every chunk encoded again: " + c.reason);
    // Packed again at the renderer's level, not copied from the input's.
    if (c.in != "tiled.exr") {
      EXPECT_NE(rawChunks(out).at(48), rawChunks(dir + "/zip.exr").at(48));
    }
  }
}

} // namespace
