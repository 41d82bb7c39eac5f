// Frames: host buffers as float planes, and their OpenEXR channels.
#include "frame.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <exception>
#include <limits>

#include "error.h"

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

// A slice over a plane of `width` floats per row whose first pixel is the
// data window's corner (minX, minY). OpenEXR addresses a slice by absolute
// pixel coordinates, so the base is moved back by the corner.
Imf::Slice floatSlice(float *plane, int width, int minX, int minY) {
  const std::ptrdiff_t xStride = sizeof(float);
  const std::ptrdiff_t yStride = static_cast<std::ptrdiff_t>(sizeof(float)) * width;
  char *base = reinterpret_cast<char *>(plane) - minX * xStride - minY * yStride;
  return Imf::Slice(Imf::FLOAT, base, static_cast<size_t>(xStride), static_cast<size_t>(yStride));
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

void Frame::remove(int buffer) {
  if (validBuffer(buffer)) {
    std::vector<float>().swap(planes_[static_cast<std::size_t>(buffer)]);
  }
}

Frame Frame::readExr(const std::string &path) {
  try {
    Imf::InputFile file(path.c_str());
    const Imath::Box2i window = file.header().dataWindow();
    const long long w = static_cast<long long>(window.max.x) - window.min.x + 1;
    const long long h = static_cast<long long>(window.max.y) - window.min.y + 1;
    if (w <= 0 || h <= 0 || w > std::numeric_limits<int>::max() / 4 ||
        h > std::numeric_limits<int>::max() / 4) {
      throw Error(path + ": the data window " + std::to_string(w) + "x" + std::to_string(h) +
                  " is not a size the host renders");
    }
    Frame frame(static_cast<int>(w), static_cast<int>(h));
    Imf::FrameBuffer slices;
    const Imf::ChannelList &channels = file.header().channels();
    for (Imf::ChannelList::ConstIterator it = channels.begin(); it != channels.end(); ++it) {
      const int buffer = bufferForChannel(it.name());
      if (buffer < 0) continue;
      if (it.channel().xSampling != 1 || it.channel().ySampling != 1) {
        throw Error(path + ": channel \"" + it.name() +
                    "\" is subsampled; the host reads only full-resolution channels");
      }
      // Half and float channels alike arrive as float: the library converts.
      slices.insert(it.name(), floatSlice(frame.mutablePlane(buffer), frame.width_, window.min.x,
                                          window.min.y));
    }
    file.setFrameBuffer(slices);
    file.readPixels(window.min.y, window.max.y);
    return frame;
  } catch (const Error &) {
    throw;
  } catch (const std::exception &e) {
    throw Error(path + ": cannot read the frame: " + e.what());
  }
}

void Frame::writeExr(const std::string &path) const {
  try {
    Imf::Header header(width_, height_);
    Imf::FrameBuffer slices;
    for (int b = 0; b < kBufferSlots; ++b) {
      if (!has(b)) continue;
      header.channels().insert(kChannelNames[b], Imf::Channel(Imf::FLOAT));
      // The library only reads through the slice; its type wants a mutable base.
      float *data = const_cast<float *>(planes_[static_cast<std::size_t>(b)].data());
      slices.insert(kChannelNames[b], floatSlice(data, width_, 0, 0));
    }
    Imf::OutputFile file(path.c_str(), header);
    file.setFrameBuffer(slices);
    file.writePixels(height_);
  } catch (const std::exception &e) {
    throw Error(path + ": cannot write the frame: " + e.what());
  }
}

std::vector<int> missingBuffers(const Frame &frame, unsigned int mask) {
  std::vector<int> missing;
  for (int b = 0; b < 32; ++b) {
    if ((mask & (1u << b)) != 0 && !frame.has(b)) missing.push_back(b);
  }
  return missing;
}

} // namespace qx
