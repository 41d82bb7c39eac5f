// The bytes a PNG file stores, read without any colour conversion: a linear
// PNG says gamma 1.0, and a reader that honours it would change its bytes.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

namespace testpng {

struct StoredPng {
  bool ok = false;
  unsigned int width = 0, height = 0;
  int channels = 0; // 3 RGB, 4 RGBA
  bool srgbChunk = false, gammaChunk = false;
  double gamma = 0.0;
  std::vector<png_byte> bytes; // rows from the top
};

// libpng reports errors by longjmp back here; the file is the caller's.
inline bool readStoredPngFrom(std::FILE *file, StoredPng &result) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, file);
  png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_STRIP_16, nullptr);
  result.width = png_get_image_width(png, info);
  result.height = png_get_image_height(png, info);
  result.channels = png_get_channels(png, info);
  int intent = 0;
  result.srgbChunk = png_get_sRGB(png, info, &intent) != 0;
  result.gammaChunk = png_get_gAMA(png, info, &result.gamma) != 0;
  png_bytepp rows = png_get_rows(png, info);
  const std::size_t rowBytes = static_cast<std::size_t>(result.width) * result.channels;
  for (unsigned int y = 0; y < result.height; ++y) {
    result.bytes.insert(result.bytes.end(), rows[y], rows[y] + rowBytes);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

inline StoredPng readStoredPng(const std::string &path) {
  StoredPng result;
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return result;
  result.ok = readStoredPngFrom(file, result);
  std::fclose(file);
  if (!result.ok) return StoredPng();
  return result;
}

} // namespace testpng
