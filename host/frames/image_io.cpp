// PNG output through libpng's simplified writer, and the choice of format by
// file name. A build without libpng writes no PNG and says so.
#include "frames/image_io.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#if QX_WITH_PNG
#include <png.h>
#endif
#include <vector>

#include "base/error.h"
#include "base/safe_write.h"
#include "frames/frame.h"

namespace qx {
namespace {

std::string lowerExtension(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

} // namespace

void writePngBytes(const std::string &path, int width, int height, int channels,
                   const std::vector<std::uint8_t> &bytes) {
  if ((channels != 3 && channels != 4) || width <= 0 || height <= 0 ||
      bytes.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                         static_cast<std::size_t>(channels)) {
    throw Error(path + ": cannot write the picture: the pixels do not match its size");
  }
#if QX_WITH_PNG
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  const png_int_32 stride = static_cast<png_int_32>(width) * channels;
  // The picture is made in memory and then written safely, so that a failed
  // write never leaves a cut PNG, or none, where the old one was.
  png_alloc_size_t size = 0;
  if (png_image_write_get_memory_size(image, size, 0, bytes.data(), stride, nullptr) == 0) {
    const std::string why = image.message;
    png_image_free(&image);
    throw Error(path + ": cannot write the picture: " + why);
  }
  std::vector<std::uint8_t> encoded(size);
  if (png_image_write_to_memory(&image, encoded.data(), &size, 0, bytes.data(), stride, nullptr) ==
      0) {
    const std::string why = image.message;
    png_image_free(&image);
    throw Error(path + ": cannot write the picture: " + why);
  }
  writeFileAtomically(
      path, std::string(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(size)));
#else
  throw Error(path + ": this qxhost is built without PNG; write .npy instead");
#endif
}

std::uint8_t srgbByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  const double encoded = v <= 0.0031308f ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
  return static_cast<std::uint8_t>(std::lround(encoded * 255.0));
}

#if QX_WITH_PNG
namespace {

// libpng's write callback: the encoded bytes collect in a string.
void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string *>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char *>(data), length);
}
void flushNothing(png_structp) {}

// libpng reports errors by longjmp; nothing with a destructor lives in this
// frame but the string it appends to, which outlives it. Returns false with
// libpng's message in `why`.
bool encodePngRows(std::string *encoded, png_uint_32 width, png_uint_32 height, png_bytepp rows,
                   PngTransfer transfer, char *why, std::size_t whySize) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) {
    std::snprintf(why, whySize, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    std::snprintf(why, whySize, "libpng could not encode it");
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, encoded, appendBytes, flushNothing);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (transfer == PngTransfer::Srgb) {
    png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  } else {
    png_set_gAMA_fixed(png, info, PNG_GAMMA_LINEAR);
  }
  png_set_rows(png, info, rows);
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

} // namespace
#endif

void writePng(const std::string &path, const Frame &frame, PngTransfer transfer) {
#if QX_WITH_PNG
  const std::size_t count = frame.pixelCount();
  std::vector<std::uint8_t> bytes(count * 4);
  for (int c = 0; c < 4; ++c) {
    const float *plane = frame.plane(HOST_BUF_RED + c);
    const bool curve = transfer == PngTransfer::Srgb && c < 3;
    for (std::size_t i = 0; i < count; ++i) {
      const float v = plane != nullptr ? plane[i] : 0.0f;
      bytes[i * 4 + static_cast<std::size_t>(c)] = curve ? srgbByte(v) : pngByte(v);
    }
  }
  std::vector<png_bytep> rows(static_cast<std::size_t>(frame.height()));
  for (std::size_t y = 0; y < rows.size(); ++y) {
    rows[y] = bytes.data() + y * static_cast<std::size_t>(frame.width()) * 4;
  }
  // The picture is made in memory and then written safely, so that a failed
  // write never leaves a cut PNG, or none, where the old one was.
  std::string encoded;
  char why[128] = "";
  if (!encodePngRows(&encoded, static_cast<png_uint_32>(frame.width()),
                     static_cast<png_uint_32>(frame.height()), rows.data(), transfer, why,
                     sizeof why)) {
    throw Error(path + ": cannot write the picture: " + why);
  }
  writeFileAtomically(path, encoded);
#else
  (void)frame;
  (void)transfer;
  throw Error(path + ": this qxhost is built without PNG; write .npy instead");
#endif
}

ImageFormat imageFormatFor(const std::string &path) {
  const std::string ext = lowerExtension(path);
  if (ext == ".exr") return ImageFormat::Exr;
  if (ext == ".png") return ImageFormat::Png;
  if (namesPlaneFolder(path)) return ImageFormat::Planes;
  throw Error(path + ": the output must end in .exr, .png, or / for a folder of .npy planes");
}

void writeImage(const std::string &path, const Frame &frame) {
  switch (imageFormatFor(path)) {
  case ImageFormat::Exr:
    frame.writeExr(path);
    break;
  case ImageFormat::Png:
    writePng(path, frame);
    break;
  case ImageFormat::Planes:
    frame.writePlanes(path);
    break;
  }
}

} // namespace qx
