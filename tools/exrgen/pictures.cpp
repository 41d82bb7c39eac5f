// The frames and the picture of the end-to-end benchmark and the README's
// alpha picture, made with OpenEXR and libpng directly, never with qxhost
// (see exrgen.cpp for the commands).
#include "pictures.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <half.h>
#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "frames/frame.h"
#include "frames/image_io.h"

namespace {

// Writes float planes (by host buffer number) under the buffers' channel
// names; colour as half when `halfColour`.
void writeFrame(const char *path, int width, int height,
                const std::vector<std::pair<int, std::vector<float>>> &planes, bool halfColour) {
  Imf::Header header(width, height);
  Imf::FrameBuffer slices;
  std::vector<std::vector<half>> halves;
  halves.reserve(planes.size());
  for (const auto &[buffer, plane] : planes) {
    const char *name = qx::bufferChannelName(buffer);
    if (halfColour && buffer >= 32) {
      halves.emplace_back(plane.begin(), plane.end());
      header.channels().insert(name, Imf::Channel(Imf::HALF));
      slices.insert(name, Imf::Slice(Imf::HALF, reinterpret_cast<char *>(halves.back().data()),
                                     sizeof(half), sizeof(half) * width));
    } else {
      header.channels().insert(name, Imf::Channel(Imf::FLOAT));
      slices.insert(name, Imf::Slice(Imf::FLOAT,
                                     reinterpret_cast<char *>(const_cast<float *>(plane.data())),
                                     sizeof(float), sizeof(float) * width));
    }
  }
  Imf::OutputFile file(path, header);
  file.setFrameBuffer(slices);
  file.writePixels(height);
}

} // namespace

namespace {

// The benchmark's planes; the special buffer holds its bands only in rows
// from `firstBandRow` up to `endBandRow`, and 0 (a value no surface of the
// demo's scene holds) elsewhere.
void writeBenchPlanes(const char *path, int firstBandRow, int endBandRow) {
  const int width = 1920, height = 1080;
  const std::size_t count = static_cast<std::size_t>(width) * height;
  std::vector<std::pair<int, std::vector<float>>> planes;
  for (int b = 0; b < qx::kBufferSlots; ++b) {
    if (qx::bufferChannelName(b) == nullptr) continue;
    std::vector<float> plane(count);
    for (std::size_t i = 0; i < count; ++i) {
      const int x = static_cast<int>(i % width), y = static_cast<int>(i / width);
      const int band = 1 + x * 8 / width; // eight vertical bands of values 1 to 8
      const bool inBand = y >= firstBandRow && y < endBandRow;
      plane[i] = b == 0 ? (inBand ? static_cast<float>(band) : 0.0f)
                        : 0.5f + 0.5f * std::sin(0.013f * static_cast<float>(x * (b + 1)) +
                                                 0.007f * static_cast<float>(y * (b + 3)));
    }
    planes.emplace_back(b, std::move(plane));
  }
  writeFrame(path, width, height, planes, true);
}

} // namespace

void benchFrame(const char *path) { writeBenchPlanes(path, 0, 1080); }

void bandFrame(const char *path) { writeBenchPlanes(path, 486, 594); }

void discFrame(const char *path) {
  const int size = 160;
  const std::size_t count = static_cast<std::size_t>(size) * size;
  std::vector<float> special(count), r(count), g(count), b(count), a(count);
  const float straight[3] = {0.1f, 0.25f, 0.6f};
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t column = i % size, row = i / size;
    const float dx = static_cast<float>(column) - 79.5f;
    const float dy = static_cast<float>(row) - 79.5f;
    const float d = std::sqrt(dx * dx + dy * dy);
    const float t = std::fmin(1.0f, std::fmax(0.0f, (70.0f - d) / 40.0f));
    a[i] = t * t * (3.0f - 2.0f * t);
    r[i] = straight[0] * a[i];
    g[i] = straight[1] * a[i];
    b[i] = straight[2] * a[i];
    special[i] = a[i] > 0.0f ? 1.0f : 0.0f;
  }
  writeFrame(path, size, size, {{0, special}, {32, r}, {33, g}, {34, b}, {35, a}}, false);
}

namespace {

// The stored RGBA bytes of a PNG, with no colour conversion.
bool readStored(const char *path, std::vector<png_byte> &bytes, png_uint_32 &width,
                png_uint_32 &height) {
  std::FILE *file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_STRIP_16, nullptr);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    if (png_get_channels(png, info) == 4) {
      png_bytepp rows = png_get_rows(png, info);
      bytes.resize(static_cast<std::size_t>(width) * height * 4);
      for (png_uint_32 y = 0; y < height; ++y) {
        std::memcpy(&bytes[static_cast<std::size_t>(y) * width * 4], rows[y],
                    std::size_t{width} * 4);
      }
      ok = true;
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return ok;
}

} // namespace

int grid(char **paths) {
  std::vector<png_byte> cells[4];
  png_uint_32 w = 0, h = 0;
  for (int c = 0; c < 4; ++c) {
    png_uint_32 cw = 0, ch = 0;
    if (!readStored(paths[1 + c], cells[c], cw, ch) || (c > 0 && (cw != w || ch != h))) {
      std::fprintf(stderr, "qx_exrgen: %s: not an RGBA PNG of the first one's size\n",
                   paths[1 + c]);
      return 2;
    }
    w = cw;
    h = ch;
  }
  const std::size_t width = std::size_t{2} * w, height = std::size_t{2} * h;
  std::vector<std::uint8_t> out(width * height * 3);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::vector<png_byte> &cell = cells[(y / h) * 2 + x / w];
      const std::size_t i = ((y % h) * w + x % w) * 4;
      const float alpha = static_cast<float>(cell[i + 3]) / 255.0f;
      const float back = ((x / 16 + y / 16) % 2 == 0) ? 60.0f : 90.0f;
      for (int c = 0; c < 3; ++c) {
        const float v = static_cast<float>(cell[i + static_cast<std::size_t>(c)]) * alpha +
                        back * (1.0f - alpha);
        out[(y * width + x) * 3 + static_cast<std::size_t>(c)] =
            static_cast<std::uint8_t>(std::lround(std::fmin(255.0f, v)));
      }
    }
  }
  qx::writePngBytes(paths[0], static_cast<int>(width), static_cast<int>(height), 3, out);
  return 0;
}
