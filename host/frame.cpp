// Frames: host buffers as float planes, their OpenEXR channels and their
// .npy plane files.
#include "frame.h"

#if QX_WITH_EXR
#include <Iex.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>

#include "exr_output.h"
#endif
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <new>

#include "error.h"
#include "npy.h"

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

#if QX_WITH_EXR
// A slice over a plane of `width` floats per row whose first pixel is the
// data window's corner (minX, minY). OpenEXR addresses a slice by absolute
// pixel coordinates, so the base is moved back by the corner.
Imf::Slice floatSlice(float *plane, int width, int minX, int minY) {
  const std::ptrdiff_t xStride = sizeof(float);
  const std::ptrdiff_t yStride = static_cast<std::ptrdiff_t>(sizeof(float)) * width;
  char *base = reinterpret_cast<char *>(plane) - minX * xStride - minY * yStride;
  return Imf::Slice(Imf::FLOAT, base, static_cast<size_t>(xStride), static_cast<size_t>(yStride));
}

// An EXR file held in memory, for readers that have the bytes already.
class MemoryInput : public Imf::IStream {
public:
  MemoryInput(const std::string &bytes, const std::string &name)
      : Imf::IStream(name.c_str()), bytes_(bytes) {}
  bool read(char c[], int n) override {
    if (n < 0 || static_cast<std::uint64_t>(n) > bytes_.size() - position_) {
      throw Iex::InputExc("the file ends early");
    }
    std::memcpy(c, bytes_.data() + position_, static_cast<std::size_t>(n));
    position_ += static_cast<std::uint64_t>(n);
    return position_ < bytes_.size();
  }
  uint64_t tellg() override { return position_; }
  void seekg(uint64_t pos) override { position_ = std::min<uint64_t>(pos, bytes_.size()); }

private:
  const std::string &bytes_;
  uint64_t position_ = 0;
};

Frame readExrFile(Imf::InputFile &file, const std::string &path, std::uint64_t maxPixels);
#endif

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

#if QX_WITH_EXR
namespace {

// Reads an open EXR file into a new frame; see Frame::readExr.
Frame readExrFile(Imf::InputFile &file, const std::string &path, std::uint64_t maxPixels) {
  const Imath::Box2i window = file.header().dataWindow();
  Frame frame =
      frameForWindow(path, window.min.x, window.min.y, window.max.x, window.max.y, maxPixels);
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
    slices.insert(it.name(), floatSlice(frame.mutablePlane(buffer), frame.width(), window.min.x,
                                        window.min.y));
  }
  file.setFrameBuffer(slices);
  file.readPixels(window.min.y, window.max.y);
  return frame;
}

} // namespace

Frame Frame::readExr(const std::string &path, std::uint64_t maxPixels) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw Error(path + ": is a folder, not a frame");
  }
  try {
    Imf::InputFile file(path.c_str());
    return readExrFile(file, path, maxPixels);
  } catch (const Error &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw Error(path + ": cannot read the frame: out of memory");
  } catch (const std::exception &e) {
    throw Error(path + ": cannot read the frame: " + e.what());
  }
}

Frame Frame::readExrBytes(const std::string &bytes, const std::string &name,
                          std::uint64_t maxPixels) {
  try {
    MemoryInput stream(bytes, name);
    Imf::InputFile file(stream);
    return readExrFile(file, name, maxPixels);
  } catch (const Error &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw Error(name + ": cannot read the frame: out of memory");
  } catch (const std::exception &e) {
    throw Error(name + ": cannot read the frame: " + e.what());
  }
}

void Frame::writeExr(const std::string &path) const {
  writeExrSafely(path, [this](Imf::OStream &stream) {
    Imf::Header header(width_, height_);
    Imf::FrameBuffer slices;
    for (int b = 0; b < kBufferSlots; ++b) {
      if (!has(b)) continue;
      header.channels().insert(kChannelNames[b], Imf::Channel(Imf::FLOAT));
      // The library only reads through the slice; its type wants a mutable base.
      float *data = const_cast<float *>(planes_[static_cast<std::size_t>(b)].data());
      slices.insert(kChannelNames[b], floatSlice(data, width_, 0, 0));
    }
    Imf::OutputFile file(stream, header);
    file.setFrameBuffer(slices);
    file.writePixels(height_);
  });
}
#else
Frame Frame::readExr(const std::string &path, std::uint64_t) {
  throw Error(path + ": this qxhost is built without OpenEXR; give a folder of .npy planes "
                     "(qxhost planes writes them)");
}

Frame Frame::readExrBytes(const std::string &, const std::string &name, std::uint64_t) {
  throw Error(name + ": this qxhost is built without OpenEXR");
}

void Frame::writeExr(const std::string &path) const {
  throw Error(path + ": this qxhost is built without OpenEXR; write .npy planes (--out DIR/)");
}
#endif

bool namesPlaneFolder(const std::string &path) {
  return !path.empty() && (path.back() == '/' || path.back() == '\\');
}

Frame Frame::readPlanes(const std::string &folder) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec))
    throw Error(folder + ": no such folder of planes");
  Frame frame;
  for (int b = 0; b < kBufferSlots; ++b) {
    if (kChannelNames[b] == nullptr) continue;
    const std::string path = planePath(folder, b);
    if (!std::filesystem::is_regular_file(path, ec)) continue;
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
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!has(b)) continue;
    writeNpy(planePath(folder, b), NpyType::Float32,
             {static_cast<std::size_t>(height_), static_cast<std::size_t>(width_)},
             planes_[static_cast<std::size_t>(b)].data());
  }
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
  for (int b = 0; b < 32; ++b) {
    if ((mask & (1u << b)) != 0 && !frame.has(b)) missing.push_back(b);
  }
  return missing;
}

} // namespace qx
