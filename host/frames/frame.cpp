// Frames: host buffers as float planes, their OpenEXR channels and their
// .npy plane files.
#include "frames/frame.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <new>

#include "base/error.h"
#include "base/safe_write.h"
#include "frames/npy.h"

namespace qx {
namespace {

// Channel names by host buffer number; null where a number has no channel.
const char *const kChannelNames[kBufferSlots] = {"SpecialBuffer",
                                                 "Luminous",
                                                 "Diffuse",
                                                 "Specular",
                                                 "Reflective",
                                                 "Transparency",
                                                 "SurfaceColor.R",
                                                 "SurfaceColor.G",
                                                 "SurfaceColor.B",
                                                 "Shading",
                                                 "Shadow",
                                                 "Geometry",
                                                 "Depth",
                                                 "DiffuseShade",
                                                 "SpecularShade",
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 "R",
                                                 "G",
                                                 "B",
                                                 "A"};

bool validBuffer(int buffer) { return buffer >= 0 && buffer < kBufferSlots; }

std::string planePath(const std::string &folder, int buffer) {
  return (std::filesystem::path(folder) / (std::string(kChannelNames[buffer]) + ".npy")).string();
}

} // namespace

const char *bufferChannelName(int buffer) {
  return validBuffer(buffer) ? kChannelNames[buffer] : nullptr;
}

int bufferForChannel(const std::string &channel) {
  for (int b = 0; b < kBufferSlots; ++b) {
    if (kChannelNames[b] != nullptr && channel == kChannelNames[b]) return b;
  }
  return -1;
}

Frame::Frame(int width, int height) : width_(width), height_(height) {
  if (width <= 0 || height <= 0) {
    throw Error("a frame must be at least 1x1, not " + std::to_string(width) + "x" +
                std::to_string(height));
  }
}

void Frame::reshape(int width, int height) {
  if (width == width_ && height == height_) return;
  const Frame checked(width, height);
  width_ = checked.width_;
  height_ = checked.height_;
  for (std::vector<float> &p : planes_) {
    if (!p.empty()) p.resize(pixelCount());
  }
}

bool Frame::has(int buffer) const {
  return validBuffer(buffer) && !planes_[static_cast<std::size_t>(buffer)].empty();
}

const float *Frame::plane(int buffer) const {
  return has(buffer) ? planes_[static_cast<std::size_t>(buffer)].data() : nullptr;
}

float *Frame::mutablePlane(int buffer) {
  if (!validBuffer(buffer)) throw Error("no host buffer " + std::to_string(buffer));
  std::vector<float> &p = planes_[static_cast<std::size_t>(buffer)];
  if (p.empty()) p.assign(pixelCount(), 0.0f);
  return p.data();
}

void Frame::swapPlane(int buffer, std::vector<float> &plane) {
  if (!validBuffer(buffer)) throw Error("no host buffer " + std::to_string(buffer));
  if (!plane.empty() && plane.size() != pixelCount()) {
    throw Error("a plane of " + std::to_string(plane.size()) + " samples for a frame of " +
                std::to_string(pixelCount()));
  }
  planes_[static_cast<std::size_t>(buffer)].swap(plane);
}

void Frame::remove(int buffer) {
  if (validBuffer(buffer)) {
    std::vector<float>().swap(planes_[static_cast<std::size_t>(buffer)]);
  }
}

bool namesPlaneFolder(const std::string &path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

Frame Frame::readPlanes(const std::string &folder, std::uint64_t maxPixels,
                        const std::array<std::string, kBufferSlots> *names) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec))
    throw Error(folder + ": no such folder of planes");
  Frame frame;
  for (int b = 0; b < kBufferSlots; ++b) {
    const std::string name = names != nullptr
                                 ? (*names)[static_cast<std::size_t>(b)]
                                 : std::string(kChannelNames[b] != nullptr ? kChannelNames[b] : "");
    if (name.empty()) continue;
    const std::string path = (std::filesystem::path(folder) / (name + ".npy")).string();
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    const NpyArray shape = readNpyHeader(path);
    if (shape.count() > maxPixels) {
      throw Error(path + ": the plane holds " + std::to_string(shape.count()) +
                  " values, more than the " + std::to_string(maxPixels) +
                  " pixels allowed (--max-pixels)");
    }
    const NpyArray plane = readNpy(path);
    if (plane.type != NpyType::Float32 || plane.shape.size() != 2 || plane.shape[0] == 0 ||
        plane.shape[1] == 0 ||
        plane.shape[0] > static_cast<std::size_t>(std::numeric_limits<int>::max() / 4) ||
        plane.shape[1] > static_cast<std::size_t>(std::numeric_limits<int>::max() / 4)) {
      throw Error(path + ": a plane must be float32 of shape (height, width)");
    }
    const int height = static_cast<int>(plane.shape[0]);
    const int width = static_cast<int>(plane.shape[1]);
    if (frame.width_ == 0) {
      frame = Frame(width, height);
    } else if (width != frame.width_ || height != frame.height_) {
      throw Error(path + ": the plane is " + std::to_string(width) + "x" + std::to_string(height) +
                  ", the folder's first is " + std::to_string(frame.width_) + "x" +
                  std::to_string(frame.height_));
    }
    const std::vector<float> values = plane.floats();
    std::copy(values.begin(), values.end(), frame.mutablePlane(b));
  }
  if (frame.width_ == 0) {
    throw Error(folder + ": holds no plane of a host buffer (such as \"R.npy\")");
  }
  return frame;
}

void Frame::writePlanes(const std::string &folder) const {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw Error(folder + ": cannot make the folder: " + ec.message());
  // Every plane is written whole before any replaces an old one: a frame
  // read back from the folder is never new planes beside old ones.
  TempFileGroup planes;
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!has(b)) continue;
    const std::string bytes = npyFile(
        NpyType::Float32, {static_cast<std::size_t>(height_), static_cast<std::size_t>(width_)},
        planes_[static_cast<std::size_t>(b)].data());
    planes.add(planePath(folder, b)).write(bytes.data(), bytes.size());
  }
  planes.commit();
}

Frame frameForWindow(const std::string &path, long long minX, long long minY, long long maxX,
                     long long maxY, std::uint64_t maxPixels) {
  const long long w = maxX - minX + 1;
  const long long h = maxY - minY + 1;
  const std::string size = std::to_string(w) + "x" + std::to_string(h);
  if (w <= 0 || h <= 0 || w > std::numeric_limits<int>::max() / 4 ||
      h > std::numeric_limits<int>::max() / 4) {
    throw Error(path + ": the data window " + size + " is not a size the host renders");
  }
  const std::uint64_t pixels = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
  if (pixels > maxPixels) {
    throw Error(path + ": the data window " + size + " is " + std::to_string(pixels) +
                " pixels, more than the " + std::to_string(maxPixels) + " allowed (--max-pixels)");
  }
  return Frame(static_cast<int>(w), static_cast<int>(h));
}

std::vector<int> missingBuffers(const Frame &frame, unsigned int mask) {
  std::vector<int> missing;
  for (int b = 0; b < HOST_BUF_RED; ++b) {
    if ((mask & (1u << b)) != 0 && !frame.has(b)) missing.push_back(b);
  }
  return missing;
}

Frame inDisplayWindow(const Frame &data, const FrameWindows &windows) {
  Frame picture(windows.displayWidth(), windows.displayHeight());
  const int x0 = std::max(windows.dataMinX, windows.displayMinX);
  const int x1 = std::min(windows.dataMinX + data.width() - 1, windows.displayMaxX);
  const int y0 = std::max(windows.dataMinY, windows.displayMinY);
  const int y1 = std::min(windows.dataMinY + data.height() - 1, windows.displayMaxY);
  for (int c = HOST_BUF_RED; c <= HOST_BUF_ALPHA; ++c) {
    float *to = picture.mutablePlane(c);
    const float *from = data.plane(c);
    if (from == nullptr) continue;
    for (int y = y0; y <= y1; ++y) {
      const float *row = from + static_cast<std::size_t>(y - windows.dataMinY) * data.width() +
                         static_cast<std::size_t>(x0 - windows.dataMinX);
      std::copy(row, row + std::max(0, x1 - x0 + 1),
                to + static_cast<std::size_t>(y - windows.displayMinY) * picture.width() +
                    static_cast<std::size_t>(x0 - windows.displayMinX));
    }
  }
  return picture;
}

} // namespace qx
