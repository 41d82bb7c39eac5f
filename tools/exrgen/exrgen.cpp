// qx_exrgen: writes EXR frames that exercise the host's frame reader.
//
//   qx_exrgen seeds DIR          the fuzz seeds: scan-line, tiled, multi-part,
//                                offset and subsampled files, and damaged ones
//   qx_exrgen large W H OUT      a W by H frame of five constant half channels,
//                                small on disk (ZIP) but large once read
//   qx_exrgen bench OUT.exr      the end-to-end benchmark's frame (pictures.h)
//   qx_exrgen band OUT.exr       the same, its stacks in a tenth of its rows
//   qx_exrgen disc OUT.exr       the alpha picture's premultiplied disc
//   qx_exrgen grid OUT.png A.png B.png C.png D.png
//                                the four pictures two by two (the README's)
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfTileDescriptionAttribute.h>
#include <ImfTiledOutputFile.h>
#include <half.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/safe_write.h"
#include "pictures.h"

namespace {

const char *const kChannels[] = {"SpecialBuffer", "Diffuse", "R", "G", "B", "A"};

// A header of `width` by `height` pixels whose data window starts at
// (x0, y0), with the given channels as FLOAT.
Imf::Header header(int width, int height, int x0 = 0, int y0 = 0) {
  Imf::Header h(width, height);
  h.dataWindow() = Imath::Box2i({x0, y0}, {x0 + width - 1, y0 + height - 1});
  h.displayWindow() = h.dataWindow();
  for (const char *name : kChannels) h.channels().insert(name, Imf::Channel(Imf::FLOAT));
  return h;
}

// One plane per channel, filled with values that differ from pixel to pixel.
struct Planes {
  int width, height;
  std::vector<std::vector<float>> data;
  Planes(int w, int h) : width(w), height(h), data(std::size(kChannels)) {
    for (std::size_t c = 0; c < data.size(); ++c) {
      data[c].resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
      for (std::size_t i = 0; i < data[c].size(); ++i) {
        data[c][i] = c == 0 ? static_cast<float>(1 + i % 3) : static_cast<float>(i % 7) / 7.0f;
      }
    }
  }
  Imf::FrameBuffer slices(int x0, int y0) {
    Imf::FrameBuffer fb;
    for (std::size_t c = 0; c < data.size(); ++c) {
      char *base = reinterpret_cast<char *>(data[c].data()) -
                   static_cast<std::ptrdiff_t>(sizeof(float)) * (x0 + y0 * width);
      fb.insert(kChannels[c], Imf::Slice(Imf::FLOAT, base, sizeof(float), sizeof(float) * width));
    }
    return fb;
  }
};

void scanLine(const std::string &path, int w, int h, int x0, int y0, Imf::Compression c) {
  Planes planes(w, h);
  Imf::Header hd = header(w, h, x0, y0);
  hd.compression() = c;
  Imf::OutputFile file(path.c_str(), hd);
  file.setFrameBuffer(planes.slices(x0, y0));
  file.writePixels(h);
}

void tiled(const std::string &path, int w, int h) {
  Planes planes(w, h);
  Imf::Header hd = header(w, h);
  hd.setTileDescription(Imf::TileDescription(2, 2, Imf::ONE_LEVEL));
  Imf::TiledOutputFile file(path.c_str(), hd);
  file.setFrameBuffer(planes.slices(0, 0));
  file.writeTiles(0, file.numXTiles() - 1, 0, file.numYTiles() - 1);
}

void multiPart(const std::string &path, int w, int h) {
  Planes planes(w, h);
  std::vector<Imf::Header> headers = {header(w, h), header(w, h)};
  headers[0].setName("first");
  headers[0].setType(Imf::SCANLINEIMAGE);
  headers[1].setName("second");
  headers[1].setType(Imf::SCANLINEIMAGE);
  Imf::MultiPartOutputFile file(path.c_str(), headers.data(), 2);
  for (int p = 0; p < 2; ++p) {
    Imf::OutputPart part(file, p);
    part.setFrameBuffer(planes.slices(0, 0));
    part.writePixels(h);
  }
}

void subsampled(const std::string &path, int w, int h) {
  Imf::Header hd(w, h);
  hd.channels().insert("R", Imf::Channel(Imf::FLOAT, 2, 2));
  std::vector<float> r(static_cast<std::size_t>(w / 2) * static_cast<std::size_t>(h / 2), 0.5f);
  Imf::FrameBuffer fb;
  fb.insert("R", Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(r.data()), sizeof(float),
                            sizeof(float) * static_cast<std::size_t>(w / 2), 2, 2));
  Imf::OutputFile file(path.c_str(), hd);
  file.setFrameBuffer(fb);
  file.writePixels(h);
}

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const std::string &path, const std::string &bytes) {
  qx::writeFileAtomically(path, bytes);
}

void seeds(const std::string &dir) {
  scanLine(dir + "/scanline-4x3", 4, 3, 0, 0, Imf::NO_COMPRESSION);
  scanLine(dir + "/scanline-zip-5x4", 5, 4, 0, 0, Imf::ZIP_COMPRESSION);
  scanLine(dir + "/scanline-piz-offset-window", 6, 5, -3, 7, Imf::PIZ_COMPRESSION);
  tiled(dir + "/tiled-5x5-2x2-tiles", 5, 5);
  multiPart(dir + "/multipart-two-parts", 3, 3);
  subsampled(dir + "/subsampled-channel", 4, 4);
  // Damaged copies: cut short inside the pixels, and a header whose data
  // window claims far more than the file holds.
  const std::string whole = readAll(dir + "/scanline-zip-5x4");
  writeAll(dir + "/damaged-cut-short", whole.substr(0, whole.size() * 2 / 3));
  const std::string tiledWhole = readAll(dir + "/tiled-5x5-2x2-tiles");
  writeAll(dir + "/damaged-tiled-cut-short", tiledWhole.substr(0, tiledWhole.size() / 2));
  std::string flipped = whole;
  for (std::size_t i = whole.size() / 2; i < whole.size(); i += 7) flipped[i] ^= 0x5a;
  writeAll(dir + "/damaged-pixel-bytes", flipped);
}

// Five half channels, every pixel the same: ZIP makes it a few hundred
// kilobytes, read back it is five float planes of width x height.
void large(int w, int h, const std::string &path) {
  Imf::Header hd(w, h);
  hd.compression() = Imf::ZIP_COMPRESSION;
  const char *names[] = {"SpecialBuffer", "R", "G", "B", "A"};
  std::vector<half> row(static_cast<std::size_t>(w), half(1.0f));
  Imf::FrameBuffer fb;
  for (const char *name : names) {
    hd.channels().insert(name, Imf::Channel(Imf::HALF));
    // One row serves every line: a y stride of 0.
    fb.insert(name, Imf::Slice(Imf::HALF, reinterpret_cast<char *>(row.data()), sizeof(half), 0));
  }
  Imf::OutputFile file(path.c_str(), hd);
  file.setFrameBuffer(fb);
  file.writePixels(h);
}

} // namespace

int main(int argc, char **argv) {
  try {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "seeds" && argc == 3) {
      seeds(argv[2]);
      return 0;
    }
    if (what == "large" && argc == 5) {
      large(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
      return 0;
    }
    if (what == "band" && argc == 3) {
      bandFrame(argv[2]);
      return 0;
    }
    if (what == "bench" && argc == 3) {
      benchFrame(argv[2]);
      return 0;
    }
    if (what == "disc" && argc == 3) {
      discFrame(argv[2]);
      return 0;
    }
    if (what == "grid" && argc == 7) return grid(argv + 2);
    std::fprintf(stderr,
                 "usage: qx_exrgen seeds DIR | large W H OUT | bench OUT.exr | band OUT.exr | disc "
                 "OUT.exr | grid OUT.png A B C D\n");
    return 2;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "qx_exrgen: %s\n", e.what());
    return 1;
  }
}
