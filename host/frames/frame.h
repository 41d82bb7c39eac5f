// A rendered frame as the host holds it: one float plane per host buffer,
// read from and written to multi-channel OpenEXR files or folders of .npy
// planes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "qx/host.h"

namespace qx {

// Host buffer numbers run from 0 to 35; the colour sits at 32 to 35
// (HOST_BUF_RED to HOST_BUF_ALPHA).
constexpr int kBufferSlots = HOST_BUF_ALPHA + 1;

// The largest frame read by default, in pixels: 16384 by 16384. Each buffer
// of a frame that size takes a gigabyte.
constexpr std::uint64_t kDefaultMaxPixels = 16384ull * 16384ull;

// The EXR channel that holds a host buffer ("SpecialBuffer", "Diffuse",
// "SurfaceColor.R", "R", ...), or null for a number that has none.
const char *bufferChannelName(int buffer);
// The host buffer a channel holds, or -1 for a channel the host ignores.
int bufferForChannel(const std::string &channel);

// Whether a frame path names a folder of .npy planes rather than a file: it
// ends in a slash.
bool namesPlaneFolder(const std::string &path);

// Where a frame's pixels lie in its picture, in the file's pixel
// coordinates, corners inclusive: the data window (the pixels held) and
// the display window (the picture). A frame that says nothing of them (a
// folder of planes) has both at (0, 0) and of the frame's size.
struct FrameWindows {
  int dataMinX = 0, dataMinY = 0, dataMaxX = -1, dataMaxY = -1;
  int displayMinX = 0, displayMinY = 0, displayMaxX = -1, displayMaxY = -1;

  static FrameWindows whole(int width, int height) {
    return {0, 0, width - 1, height - 1, 0, 0, width - 1, height - 1};
  }
  int displayWidth() const { return displayMaxX - displayMinX + 1; }
  int displayHeight() const { return displayMaxY - displayMinY + 1; }
};

class Frame;
// The colour (buffers 32 to 35) of a frame of the data window, placed in a
// frame of the display window: what lies outside the data window is 0 in
// every channel (transparent), what lies outside the display window is cut.
Frame inDisplayWindow(const Frame &data, const FrameWindows &windows);

// Per-pixel float planes indexed by host buffer number. A buffer the frame
// does not hold reads 0.0 everywhere.
class Frame {
public:
  Frame() = default;
  // An empty frame of that size: no buffer held yet. Throws Error for a size
  // of 0 or below.
  Frame(int width, int height);
  // Gives the frame another size, keeping the buffers it holds and, where
  // it suffices, their memory: a frame reused for strips of different
  // heights is not allocated anew each time. The held buffers' samples are
  // to be written again. Throws Error as the constructor does.
  void reshape(int width, int height);

  // Reads every channel of the file that names a host buffer, half or float,
  // and ignores the others. Throws Error naming the file when it cannot be
  // read, is a folder, declares a data window of more than `maxPixels`
  // pixels (checked before anything is allocated), runs out of memory, or
  // its size or sampling is not one the host handles.
  static Frame readExr(const std::string &path, std::uint64_t maxPixels = kDefaultMaxPixels);
  // The same for a file's bytes in memory; `name` stands for the file in
  // messages.
  static Frame readExrBytes(const std::string &bytes, const std::string &name,
                            std::uint64_t maxPixels = kDefaultMaxPixels);
  // Writes every held buffer as a FLOAT channel under its name, safely (see
  // safe_write.h): a failure leaves any old file as it was. Throws Error
  // naming the file.
  void writeExr(const std::string &path) const;

  // Reads a folder of planes: "<channel>.npy" for each host buffer's channel
  // (e.g. "SpecialBuffer.npy", "SurfaceColor.R.npy", "R.npy"), float32 of
  // shape (height, width), all of one size. Other files are ignored. With
  // `names`, buffer b is read from "<names[b]>.npy" instead (an empty name:
  // not read). A plane of more than `maxPixels` pixels is refused before its
  // values are read. Throws Error naming the folder or the plane that is
  // wrong.
  static Frame readPlanes(const std::string &folder, std::uint64_t maxPixels = kDefaultMaxPixels,
                          const std::array<std::string, kBufferSlots> *names = nullptr);
  // Writes every held buffer as "<channel>.npy" into the folder, which is
  // made when missing: all planes or none (see TempFileGroup), and no other
  // file of the folder touched. Throws Error naming the file.
  void writePlanes(const std::string &folder) const;

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t pixelCount() const {
    return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  }

  bool has(int buffer) const;
  // The buffer's value at a pixel; 0.0 for a buffer the frame does not hold.
  float value(int buffer, int x, int y) const {
    const std::vector<float> &p = planes_[static_cast<std::size_t>(buffer)];
    return p.empty() ? 0.0f
                     : p[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                         static_cast<std::size_t>(x)];
  }
  // The buffer's plane, row by row; null for a buffer the frame does not hold.
  const float *plane(int buffer) const;
  // The buffer's plane for writing, made and filled with 0.0 on first use.
  float *mutablePlane(int buffer);
  // Drops a buffer: it reads 0.0 again.
  void remove(int buffer);
  // Exchanges a buffer's plane with `plane`, which holds a plane of the
  // frame's size or nothing (the buffer is then not held): no sample is
  // copied.
  void swapPlane(int buffer, std::vector<float> &plane);

private:
  int width_ = 0;
  int height_ = 0;
  std::array<std::vector<float>, kBufferSlots> planes_;
};

// An empty frame for a data window from (minX, minY) to (maxX, maxY), both
// corners inside it. Throws Error naming `path` for a window the host does
// not render, or one of more than `maxPixels` pixels: checked before any
// plane is made, since a small file can declare a window of gigabytes.
Frame frameForWindow(const std::string &path, long long minX, long long minY, long long maxX,
                     long long maxY, std::uint64_t maxPixels);

// The buffers a requirement mask asks for (bit n for buffer n) that the frame
// does not hold, lowest number first.
std::vector<int> missingBuffers(const Frame &frame, unsigned int mask);

} // namespace qx
