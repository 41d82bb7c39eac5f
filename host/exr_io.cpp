// Reading one part of an OpenEXR file (or buffers gathered from several
// parts) and writing it back with the filter's colour, everything else kept.
#include "exr_io.h"

#include <ImfFrameBuffer.h>
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>
#include <ImfOutputFile.h>
#include <ImfPartType.h>
#include <ImfStandardAttributes.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <ImfTiledOutputFile.h>
#include <half.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <iterator>
#include <limits>
#include <map>

#include "error.h"
#include "exr_output.h"

namespace qx {
namespace {

constexpr const char *kColourNames[4] = {"R", "G", "B", "A"};

std::size_t bytesOf(Imf::PixelType type) { return type == Imf::HALF ? 2 : 4; }

bool isDeep(const Imf::Header &header) {
  return header.hasType() && Imf::isDeepData(header.type());
}

std::string partLabel(const Imf::Header &header, int part) {
  return header.hasName() ? "\"" + header.name() + "\" (" + std::to_string(part) + ")"
                          : std::to_string(part);
}

// A slice over samples stored row by row from the window's corner. OpenEXR
// addresses a slice by absolute pixel coordinates (divided by the
// sampling), so the base is moved back by the corner; the corner of a
// subsampled channel is a multiple of its sampling.
Imf::Slice sliceOver(Imf::PixelType type, void *data, const Imath::Box2i &window, int xSampling,
                     int ySampling) {
  const std::ptrdiff_t xStride = static_cast<std::ptrdiff_t>(bytesOf(type));
  const std::ptrdiff_t rowSamples = (window.max.x - window.min.x + 1) / xSampling;
  const std::ptrdiff_t yStride = xStride * rowSamples;
  char *base = static_cast<char *>(data) - (window.min.x / xSampling) * xStride -
               (window.min.y / ySampling) * yStride;
  return Imf::Slice(type, base, static_cast<size_t>(xStride), static_cast<size_t>(yStride),
                    xSampling, ySampling);
}

std::size_t pixelsOf(const Imath::Box2i &w) {
  return static_cast<std::size_t>(w.max.x - w.min.x + 1) *
         static_cast<std::size_t>(w.max.y - w.min.y + 1);
}

// Copies the overlap of a plane over `from` into a plane over `to`; the rest
// of `to` keeps its values.
template <class T>
void copyOverlap(const T *source, const Imath::Box2i &from, float *target, const Imath::Box2i &to) {
  const int x0 = std::max(from.min.x, to.min.x), x1 = std::min(from.max.x, to.max.x);
  const int y0 = std::max(from.min.y, to.min.y), y1 = std::min(from.max.y, to.max.y);
  const std::size_t fromWidth = static_cast<std::size_t>(from.max.x - from.min.x + 1);
  const std::size_t toWidth = static_cast<std::size_t>(to.max.x - to.min.x + 1);
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) {
      target[static_cast<std::size_t>(y - to.min.y) * toWidth +
             static_cast<std::size_t>(x - to.min.x)] =
          static_cast<float>(source[static_cast<std::size_t>(y - from.min.y) * fromWidth +
                                    static_cast<std::size_t>(x - from.min.x)]);
    }
  }
}

// The part `wanted` names: a part name first, then a number.
int resolvePart(const Imf::MultiPartInputFile &file, const std::string &wanted,
                const std::string &path) {
  for (int p = 0; p < file.parts(); ++p) {
    if (file.header(p).hasName() && file.header(p).name() == wanted) return p;
  }
  if (!wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos &&
      wanted.size() < 6) {
    const int number = std::stoi(wanted);
    if (number < file.parts()) return number;
  }
  std::string parts;
  for (int p = 0; p < file.parts(); ++p) {
    parts += (p > 0 ? ", " : "") + partLabel(file.header(p), p);
  }
  throw Error(path + ": no part \"" + wanted + "\"; the file has " + parts);
}

// One channel of a part to read, and the buffers it feeds.
struct ChannelRead {
  std::string name;
  Imf::PixelType type;
  std::vector<int> buffers;
};

ExrImage readImage(const std::string &path, const ExrReadOptions &options) {
  Imf::MultiPartInputFile file(path.c_str(), Imf::globalThreadCount());
  const int parts = file.parts();
  ExrImage image;
  for (int p = 0; p < parts; ++p) {
    const Imf::ChannelList &list = file.header(p).channels();
    for (auto it = list.begin(); it != list.end(); ++it) {
      image.fileChannels.push_back(parts == 1 ? std::string(it.name())
                                              : std::string(it.name()) + " (part " +
                                                    std::to_string(p) + ")");
    }
  }

  const int chosen = options.part.empty() ? -1 : resolvePart(file, options.part, path);
  if (chosen >= 0 && isDeep(file.header(chosen))) {
    throw Error(path + ": part " + partLabel(file.header(chosen), chosen) +
                " holds deep data; the host reads flat images only");
  }

  // Where each buffer's channel is: the chosen part, or the first flat part
  // that holds it.
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!options.buffers.test(static_cast<std::size_t>(b))) continue;
    const ChannelSource &source = options.map.source(b);
    ExrBufferSource &found = image.sources[static_cast<std::size_t>(b)];
    if (source.kind == ChannelSource::Kind::Constant) {
      found.constant = true;
      continue;
    }
    if (source.channel.empty()) continue;
    for (int p = chosen >= 0 ? chosen : 0; p < (chosen >= 0 ? chosen + 1 : parts); ++p) {
      if (isDeep(file.header(p))) continue;
      const Imf::Channel *channel = file.header(p).channels().findChannel(source.channel);
      if (channel == nullptr) continue;
      if (channel->xSampling != 1 || channel->ySampling != 1) {
        throw Error(path + ": channel \"" + source.channel +
                    "\" is subsampled; the host reads only full-resolution channels");
      }
      found.channel = source.channel;
      found.type = channel->type;
      found.part = p;
      break;
    }
  }

  int main = chosen;
  if (main < 0) main = image.sources[32].part;
  for (int b = 0; b < kBufferSlots && main < 0; ++b) main = image.sources[b].part;
  for (int p = 0; p < parts && main < 0; ++p) {
    if (!isDeep(file.header(p))) main = p;
  }
  if (main < 0) throw Error(path + ": every part holds deep data; the host reads flat images only");
  image.part = main;
  image.header = file.header(main);
  image.dataWindow = image.header.dataWindow();
  const Imath::Box2i &window = image.dataWindow;
  image.frame = frameForWindow(path, window.min.x, window.min.y, window.max.x, window.max.y,
                               options.maxPixels);

  for (int b = 0; b < kBufferSlots; ++b) {
    const ExrBufferSource &source = image.sources[static_cast<std::size_t>(b)];
    if (source.constant) {
      float *plane = image.frame.mutablePlane(b);
      std::fill(plane, plane + image.frame.pixelCount(), options.map.source(b).constant);
    }
  }

  for (int p = 0; p < parts; ++p) {
    std::vector<ChannelRead> reads;
    for (int b = 0; b < kBufferSlots; ++b) {
      const ExrBufferSource &source = image.sources[static_cast<std::size_t>(b)];
      if (source.part != p) continue;
      auto same = std::find_if(reads.begin(), reads.end(),
                               [&](const ChannelRead &r) { return r.name == source.channel; });
      if (same == reads.end()) {
        reads.push_back({source.channel, source.type, {b}});
      } else {
        same->buffers.push_back(b);
      }
    }
    const bool carried = p == main && options.passThrough;
    if (reads.empty() && !carried) continue;

    Imf::InputPart input(file, p);
    const Imath::Box2i partWindow = input.header().dataWindow();
    const bool sameWindow = partWindow == window;
    const std::size_t partPixels = pixelsOf(partWindow);
    Imf::FrameBuffer slices;
    // Planes for a channel whose window or type is not the frame's own.
    std::vector<std::vector<float>> floats(reads.size());
    std::vector<std::vector<unsigned int>> uints(reads.size());
    for (std::size_t r = 0; r < reads.size(); ++r) {
      const int first = reads[r].buffers.front();
      if (reads[r].type == Imf::UINT) {
        uints[r].assign(partPixels, 0u);
        slices.insert(reads[r].name, sliceOver(Imf::UINT, uints[r].data(), partWindow, 1, 1));
      } else if (sameWindow) {
        slices.insert(reads[r].name,
                      sliceOver(Imf::FLOAT, image.frame.mutablePlane(first), partWindow, 1, 1));
      } else {
        floats[r].assign(partPixels, 0.0f);
        slices.insert(reads[r].name, sliceOver(Imf::FLOAT, floats[r].data(), partWindow, 1, 1));
      }
    }
    if (carried) {
      const Imf::ChannelList &list = input.header().channels();
      for (auto it = list.begin(); it != list.end(); ++it) {
        if (slices.findSlice(it.name()) != nullptr) continue;
        ExrRawChannel raw{it.name(), it.channel(), {}};
        const std::size_t samples = pixelsOf(partWindow) /
                                    static_cast<std::size_t>(it.channel().xSampling) /
                                    static_cast<std::size_t>(it.channel().ySampling);
        raw.bytes.assign(samples * bytesOf(raw.channel.type), 0);
        image.passThrough.push_back(std::move(raw));
      }
      for (ExrRawChannel &raw : image.passThrough) {
        slices.insert(raw.name, sliceOver(raw.channel.type, raw.bytes.data(), partWindow,
                                          raw.channel.xSampling, raw.channel.ySampling));
      }
    }
    input.setFrameBuffer(slices);
    input.readPixels(partWindow.min.y, partWindow.max.y);

    for (std::size_t r = 0; r < reads.size(); ++r) {
      const int first = reads[r].buffers.front();
      float *plane = image.frame.mutablePlane(first);
      if (reads[r].type == Imf::UINT) {
        copyOverlap(uints[r].data(), partWindow, plane, window);
        if (carried) {
          // Kept as the file's own integers: a float holds them exactly only
          // up to 2^24.
          ExrRawChannel raw{reads[r].name, *input.header().channels().findChannel(reads[r].name),
                            std::vector<char>(uints[r].size() * sizeof(unsigned int))};
          std::copy(reinterpret_cast<const char *>(uints[r].data()),
                    reinterpret_cast<const char *>(uints[r].data()) + raw.bytes.size(),
                    raw.bytes.begin());
          if (sameWindow) image.passThrough.push_back(std::move(raw));
          for (int b : reads[r].buffers) image.sources[static_cast<std::size_t>(b)].rawCopy = true;
        }
      } else if (!sameWindow) {
        copyOverlap(floats[r].data(), partWindow, plane, window);
      }
      for (std::size_t k = 1; k < reads[r].buffers.size(); ++k) {
        float *copy = image.frame.mutablePlane(reads[r].buffers[k]);
        std::copy(plane, plane + image.frame.pixelCount(), copy);
      }
    }
  }
  return image;
}

float sampleAt(const void *data, Imf::PixelType type, std::size_t i) {
  if (type == Imf::HALF) return static_cast<const half *>(data)[i];
  if (type == Imf::UINT) return static_cast<float>(static_cast<const unsigned int *>(data)[i]);
  return static_cast<const float *>(data)[i];
}

void convertSamples(const void *from, Imf::PixelType fromType, void *to, Imf::PixelType toType,
                    std::size_t samples) {
  for (std::size_t i = 0; i < samples; ++i) {
    const float v = sampleAt(from, fromType, i);
    if (toType == Imf::HALF) {
      static_cast<half *>(to)[i] = half(v);
    } else if (toType == Imf::FLOAT) {
      static_cast<float *>(to)[i] = v;
    } else {
      static_cast<unsigned int *>(to)[i] = !(v > 0.0f)          ? 0u
                                           : v >= 4294967040.0f ? 4294967295u
                                                                : static_cast<unsigned int>(v);
    }
  }
}

Imf::PixelType outputType(Imf::PixelType input, ExrPixelChoice choice) {
  if (input == Imf::UINT || choice == ExrPixelChoice::Input) return input;
  return choice == ExrPixelChoice::Half ? Imf::HALF : Imf::FLOAT;
}

// Attributes that describe the layout of the file read, not the picture:
// the written file sets its own.
const char *const kLayoutAttributes[] = {"type", "name", "chunkCount", "version", "tiles"};

} // namespace

ExrImage readExrImage(const std::string &path, const ExrReadOptions &options) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw Error(path + ": is a folder, not a frame");
  try {
    return readImage(path, options);
  } catch (const Error &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw Error(path + ": cannot read the frame: out of memory");
  } catch (const std::exception &e) {
    throw Error(path + ": cannot read the frame: " + e.what());
  }
}

void writeExrImage(const std::string &path, const ExrImage &image, const Frame &colour,
                   const ExrWriteOptions &options) {
  if (colour.width() != image.frame.width() || colour.height() != image.frame.height()) {
    throw Error(path + ": cannot write the frame: the colour does not match its size");
  }
  writeExrSafely(path, [&](Imf::OStream &stream) {
    // Built up attribute by attribute rather than copied and trimmed:
    // Header::erase of this OpenEXR leaks the attribute it removes.
    Imf::Header header;
    for (auto it = image.header.begin(); it != image.header.end(); ++it) {
      const bool layout =
          std::any_of(std::begin(kLayoutAttributes), std::end(kLayoutAttributes),
                      [&](const char *name) { return std::strcmp(name, it.name()) == 0; });
      if (!layout) header.insert(it.name(), it.attribute());
    }
    Imf::ChannelList channels;
    Imf::FrameBuffer slices;
    const Imath::Box2i &window = image.dataWindow;
    // The library writes each channel from samples of its own type, so a
    // channel written in another type than it is held in is converted here.
    std::deque<std::vector<char>> converted;
    auto add = [&](const std::string &name, Imf::PixelType fileType, Imf::PixelType memoryType,
                   const void *data, int xSampling, int ySampling, bool pLinear) {
      if (channels.findChannel(name) != nullptr) return;
      const Imf::PixelType type = outputType(fileType, options.type);
      channels.insert(name, Imf::Channel(type, xSampling, ySampling, pLinear));
      if (type != memoryType) {
        const std::size_t samples = pixelsOf(window) / static_cast<std::size_t>(xSampling) /
                                    static_cast<std::size_t>(ySampling);
        converted.emplace_back(samples * bytesOf(type));
        convertSamples(data, memoryType, converted.back().data(), type, samples);
        data = converted.back().data();
      }
      // The library only reads through the slice; its type wants a mutable base.
      slices.insert(name, sliceOver(type, const_cast<void *>(data), window, xSampling, ySampling));
    };
    for (int c = 0; c < 4; ++c) {
      const ExrBufferSource &source = image.sources[static_cast<std::size_t>(32 + c)];
      // Under --keep rgba the colour goes out as R, G, B and A whatever it
      // was read from, still in the type it was read in.
      const bool fromFile = !source.channel.empty();
      const float *plane = colour.plane(32 + c);
      if (plane == nullptr) continue;
      add(fromFile && !options.rgbaOnly ? source.channel : kColourNames[c],
          fromFile ? source.type : Imf::FLOAT, Imf::FLOAT, plane, 1, 1, false);
    }
    if (!options.rgbaOnly) {
      for (const ExrRawChannel &raw : image.passThrough) {
        add(raw.name, raw.channel.type, raw.channel.type, raw.bytes.data(), raw.channel.xSampling,
            raw.channel.ySampling, raw.channel.pLinear);
      }
      for (int b = 0; b < 32; ++b) {
        const ExrBufferSource &source = image.sources[static_cast<std::size_t>(b)];
        if (source.channel.empty() || source.rawCopy || !image.frame.has(b)) continue;
        add(source.channel, source.type, Imf::FLOAT, image.frame.plane(b), 1, 1, false);
      }
    }
    header.channels() = channels;
    for (const auto &[name, value] : options.attributes) {
      header.insert(name, Imf::StringAttribute(value));
    }

    if (image.header.hasTileDescription()) {
      Imf::TileDescription tiles = image.header.tileDescription();
      tiles.mode = Imf::ONE_LEVEL;
      header.setTileDescription(tiles);
      Imf::TiledOutputFile file(stream, header, Imf::globalThreadCount());
      file.setFrameBuffer(slices);
      file.writeTiles(0, file.numXTiles() - 1, 0, file.numYTiles() - 1);
    } else {
      Imf::OutputFile file(stream, header, Imf::globalThreadCount());
      file.setFrameBuffer(slices);
      file.writePixels(window.max.y - window.min.y + 1);
    }
  });
}
} // namespace qx
