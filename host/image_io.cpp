// PNG output through libpng's simplified writer, and the choice of format by
// file name. A build without libpng writes no PNG and says so.
#include "image_io.h"

#include <algorithm>
#include <cctype>
#if QX_WITH_PNG
#include <png.h>
#endif
#include <vector>

#include "error.h"
#include "frame.h"
#include "safe_write.h"

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

void writePng(const std::string &path, const Frame &frame) {
  const std::size_t count = frame.pixelCount();
  std::vector<std::uint8_t> bytes(count * 4);
  for (int c = 0; c < 4; ++c) {
    const float *plane = frame.plane(32 + c);
    for (std::size_t i = 0; i < count; ++i) {
      bytes[i * 4 + static_cast<std::size_t>(c)] = plane != nullptr ? pngByte(plane[i]) : 0;
    }
  }
  writePngBytes(path, frame.width(), frame.height(), 4, bytes);
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
