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

// Writes the frame's "R", "G", "B", "A" buffers (a missing one as 0) as an
// 8-bit RGBA PNG. Throws Error naming the file.
void writePng(const std::string &path, const Frame &frame);

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
