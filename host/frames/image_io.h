// Pictures for people: a frame's colour written as an 8-bit PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx {

class Frame;

// One colour channel as a PNG byte: clamped to 0..1, then trunc(v * 255).
// NaN counts as 0.
inline std::uint8_t pngByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return static_cast<std::uint8_t>(v * 255.0f);
}

// Writes 8-bit pixels as a PNG: `channels` bytes a pixel (3 for RGB, 4 for
// RGBA), rows from the top. Throws Error naming the file.
void writePngBytes(const std::string &path, int width, int height, int channels,
                   const std::vector<std::uint8_t> &bytes);

// How the frame's linear colour becomes PNG bytes.
enum class PngTransfer {
  // trunc(v x 255) of the linear value; the file says gamma 1.0, no sRGB.
  Linear,
  // The sRGB curve, rounded; the file carries the sRGB chunk.
  Srgb,
};

// The byte of one colour channel (not alpha) under the sRGB curve, rounded.
std::uint8_t srgbByte(float v);

// Writes the frame's "R", "G", "B", "A" buffers (a missing one as 0) as an
// 8-bit RGBA PNG with straight alpha, alpha always linear, through a file
// beside the target renamed over it. Throws Error naming the file.
void writePng(const std::string &path, const Frame &frame,
              PngTransfer transfer = PngTransfer::Linear);

enum class ImageFormat { Exr, Png, Planes };

// The format a file name asks for: ".exr" or ".png", in either case, or a
// folder of .npy planes for a name ending in a slash. Throws Error naming the
// file for any other ending.
ImageFormat imageFormatFor(const std::string &path);

// Writes the frame's buffers as EXR for a name ending in ".exr" or as planes
// for a folder name ending in a slash, or its colour as PNG for ".png"
// (either case). Throws Error naming the file for any other ending.
void writeImage(const std::string &path, const Frame &frame);

} // namespace qx
