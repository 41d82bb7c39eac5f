// Writing a frame back with the filter's colour, everything else of the
// part it was read from kept. Frame::writeExr lives here too.
#include "frames/exr_output.h"

#include <ImfFrameBuffer.h>
#include <ImfOutputFile.h>
#include <ImfStringAttribute.h>
#include <ImfTiledOutputFile.h>
#include <half.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/error.h"
#include "frames/exr_copy.h"
#include "frames/exr_slices.h"
#include "frames/exr_target.h"

namespace qx {
namespace {

constexpr const char *kColourNames[4] = {"R", "G", "B", "A"};

// Converts samples between pixel types; a float out of uint's range is
// clamped to it.
void convertSamples(const void *from, Imf::PixelType fromType, void *to, Imf::PixelType toType,
                    std::size_t samples) {
  if (toType == Imf::HALF) {
    half *out = static_cast<half *>(to);
    forEachAsFloat(from, fromType, samples, [out](std::size_t i, float v) { out[i] = half(v); });
  } else if (toType == Imf::FLOAT) {
    float *out = static_cast<float *>(to);
    forEachAsFloat(from, fromType, samples, [out](std::size_t i, float v) { out[i] = v; });
  } else {
    unsigned int *out = static_cast<unsigned int *>(to);
    forEachAsFloat(from, fromType, samples,
                   [out](std::size_t i, float v) { out[i] = uintSample(v); });
  }
}

Imf::PixelType outputType(Imf::PixelType input, ExrPixelChoice choice) {
  if (input == Imf::UINT || choice == ExrPixelChoice::Input) return input;
  return choice == ExrPixelChoice::Half ? Imf::HALF : Imf::FLOAT;
}

// Attributes that describe the layout of the file read, not the picture:
// the written file sets its own.
const char *const kLayoutAttributes[] = {"type", "name", "chunkCount", "version", "tiles"};

// Whether two lists hold the same channels, each of the same type and
// sampling: chunks of one hold the bytes of chunks of the other.
bool sameSamples(const Imf::ChannelList &a, const Imf::ChannelList &b) {
  auto i = a.begin(), j = b.begin();
  for (; i != a.end() && j != b.end(); ++i, ++j) {
    if (std::strcmp(i.name(), j.name()) != 0 || i.channel().type != j.channel().type ||
        i.channel().xSampling != j.channel().xSampling ||
        i.channel().ySampling != j.channel().ySampling) {
      return false;
    }
  }
  return i == a.end() && j == b.end();
}

} // namespace

std::string ExrWriteOptions::layoutChange() const {
  return type != ExrPixelChoice::Input ? "pixel types are changed"
         : rgbaOnly                    ? "only R, G, B and A are kept"
         : zipLevel > 0                ? "a deflate level is given"
                                       : std::string();
}

// One channel of the output and where its samples come from.
struct ExrOutput::ChannelWrite {
  std::string name;
  Imf::Channel channel; // as written
  enum class From { Colour, Raw, Buffer } from;
  int index;                   // the colour (0 to 3), the raw channel, or the buffer
  Imf::PixelType held;         // the type the samples are held in
  std::vector<char> converted; // the samples in the written type, when that differs
};

ExrOutput::ExrOutput(const std::string &path, const ExrInput &input, const ExrWriteOptions &options)
    : path_(path), window_(input.dataWindow()), target_(std::make_unique<ExrTarget>(path)),
      verbose_(options.verbose) {
  target_->run([&] {
    // Built up attribute by attribute rather than copied and trimmed:
    // Header::erase of this OpenEXR leaks the attribute it removes.
    Imf::Header header;
    for (auto it = input.header().begin(); it != input.header().end(); ++it) {
      const bool layout =
          std::any_of(std::begin(kLayoutAttributes), std::end(kLayoutAttributes),
                      [&](const char *name) { return std::strcmp(name, it.name()) == 0; });
      // The provenance written below replaces the input's, whatever type
      // the input gave it.
      const bool replaced =
          std::any_of(options.attributes.begin(), options.attributes.end(),
                      [&](const auto &attribute) { return attribute.first == it.name(); });
      if (!layout && !replaced) header.insert(it.name(), it.attribute());
    }
    // Channels that hold ids keep their type: a half would change nearly
    // every id, and merge some.
    std::vector<std::string> ids = cryptomatteRankChannels(input.cryptomatteParts());
    if (!input.sources()[0].channel.empty() && !input.sources()[0].constant) {
      ids.push_back(input.sources()[0].channel);
    }
    Imf::ChannelList list;
    auto add = [&](const std::string &name, Imf::PixelType fileType, Imf::PixelType held,
                   ChannelWrite::From from, int index, const Imf::Channel &shape) {
      if (list.findChannel(name) != nullptr) return;
      const bool id = std::find(ids.begin(), ids.end(), name) != ids.end();
      const Imf::PixelType type = outputType(fileType, id ? ExrPixelChoice::Input : options.type);
      if (id && options.verbose && type != outputType(fileType, options.type)) {
        std::fprintf(stderr, "qxhost: %s: channel \"%s\" stays %s: it holds ids\n", path.c_str(),
                     name.c_str(), type == Imf::FLOAT ? "float" : "as it was");
      }
      Imf::Channel channel(type, shape.xSampling, shape.ySampling, shape.pLinear);
      list.insert(name, channel);
      channels_.push_back({name, channel, from, index, held, {}});
    };
    const Imf::Channel full(Imf::FLOAT);
    for (int c = 0; c < 4; ++c) {
      const ExrBufferSource &source = input.sources()[static_cast<std::size_t>(HOST_BUF_RED + c)];
      // A colour channel the input lacks (read as 0.0 or a constant) is not
      // written: the output holds no channel the input did not have.
      if (source.channel.empty()) continue;
      // Under --keep rgba the colour goes out as R, G, B and A whatever it
      // was read from, still in the type it was read in.
      const std::string name = options.rgbaOnly ? kColourNames[c] : source.channel;
      if (list.findChannel(name) != nullptr) {
        throw Error(path_ +
                    ": cannot write the frame: two colour buffers would be written into "
                    "channel \"" +
                    name + "\"");
      }
      add(name, source.type, Imf::FLOAT, ChannelWrite::From::Colour, c, full);
    }
    if (!options.rgbaOnly) {
      for (std::size_t i = 0; i < input.passThrough().size(); ++i) {
        const ExrRawChannel &raw = input.passThrough()[i];
        add(raw.name, raw.channel.type, raw.channel.type, ChannelWrite::From::Raw,
            static_cast<int>(i), raw.channel);
      }
      for (int b = 0; b < HOST_BUF_RED; ++b) {
        const ExrBufferSource &source = input.sources()[static_cast<std::size_t>(b)];
        if (source.channel.empty() || source.raw >= 0) continue;
        add(source.channel, source.type, Imf::FLOAT, ChannelWrite::From::Buffer, b, full);
      }
    }
    header.channels() = list;
    if (options.zipLevel > 0) header.zipCompressionLevel() = options.zipLevel;
    for (const auto &[name, value] : options.attributes) {
      header.insert(name, Imf::StringAttribute(value));
    }
    // The chunks are copied only where the part keeps its layout.
    notCopied_ = options.layoutChange();
    if (notCopied_.empty()) notCopied_ = input.chunkCopyRefusal();
    if (notCopied_.empty() && !input.keepsChunks()) {
      notCopied_ = "the frame was read without its chunks";
    }
    if (notCopied_.empty() && !sameSamples(list, input.header().channels())) {
      notCopied_ = "the channels change";
    }
    if (input.keepsChunks() && !notCopied_.empty()) {
      throw Error(path_ + ": cannot write the frame: its chunks were kept for copying, but " +
                  notCopied_);
    }
    if (notCopied_.empty()) {
      std::vector<CopiedColour> colours;
      for (const ChannelWrite &c : channels_) {
        if (c.from == ChannelWrite::From::Colour) colours.push_back({c.name, c.index});
      }
      copy_ = std::make_unique<ExrChunkCopy>(target_->stream(), header, colours, input.threads());
    } else if (input.header().hasTileDescription()) {
      Imf::TileDescription tiles = input.header().tileDescription();
      tiles.mode = Imf::ONE_LEVEL;
      header.setTileDescription(tiles);
      tileHeight_ = static_cast<int>(tiles.ySize);
      tiles_ = std::make_unique<Imf::TiledOutputFile>(target_->stream(), header, input.threads());
    } else {
      scanLines_ = std::make_unique<Imf::OutputFile>(target_->stream(), header, input.threads());
    }
  });
}

ExrOutput::~ExrOutput() = default;

void ExrOutput::write(const ExrStrip &strip, const Frame &colour) {
  if (colour.width() != strip.frame.width() || colour.height() != strip.rows) {
    throw Error(path_ + ": cannot write the frame: the colour does not match its size");
  }
  target_->run([&] {
    if (copy_) {
      copy_->write(strip, colour);
      return;
    }
    const int y0 = window_.min.y + strip.firstRow, y1 = y0 + strip.rows - 1;
    Imf::FrameBuffer slices;
    for (ChannelWrite &c : channels_) {
      const void *data = nullptr;
      if (c.from == ChannelWrite::From::Colour) {
        data = colour.plane(HOST_BUF_RED + c.index);
      } else if (c.from == ChannelWrite::From::Raw) {
        data = strip.raw[static_cast<std::size_t>(c.index)].data();
      } else {
        data = strip.frame.plane(c.index);
      }
      const int xs = c.channel.xSampling, ys = c.channel.ySampling;
      if (data == nullptr || c.channel.type != c.held) {
        // The library writes each channel from samples of its own type.
        const std::size_t samples = samplesIn(window_.min.x, window_.max.x, y0, y1, xs, ys);
        c.converted.resize(samples * sampleBytes(c.channel.type));
        if (data != nullptr) {
          convertSamples(data, c.held, c.converted.data(), c.channel.type, samples);
        } else {
          std::fill(c.converted.begin(), c.converted.end(), 0);
        }
        data = c.converted.data();
      }
      // The library only reads through the slice; its type wants a mutable base.
      slices.insert(c.name, sliceOver(c.channel.type, const_cast<void *>(data), window_.min.x,
                                      window_.max.x, y0, xs, ys));
    }
    if (tiles_) {
      tiles_->setFrameBuffer(slices);
      tiles_->writeTiles(0, tiles_->numXTiles() - 1, strip.firstRow / tileHeight_,
                         (strip.firstRow + strip.rows - 1) / tileHeight_);
    } else {
      scanLines_->setFrameBuffer(slices);
      scanLines_->writePixels(strip.rows);
    }
  });
}

void ExrOutput::commit() {
  // The library finishes the file (its chunk offsets) when it lets go of it.
  target_->run([&] {
    if (copy_) copy_->finish();
    scanLines_.reset();
    tiles_.reset();
  });
  target_->commit();
  if (!verbose_) return;
  if (copy_) {
    const int all = copy_->copied() + copy_->encoded();
    std::fprintf(stderr, "qxhost: %s: %d of %d chunks copied as read, %d encoded\n", path_.c_str(),
                 copy_->copied(), all, copy_->encoded());
  } else {
    std::fprintf(stderr, "qxhost: %s: every chunk encoded again: %s\n", path_.c_str(),
                 notCopied_.c_str());
  }
}

void Frame::writeExr(const std::string &path) const {
  writeExrSafely(path, [this](Imf::OStream &stream) {
    Imf::Header header(width_, height_);
    Imf::FrameBuffer slices;
    for (int b = 0; b < kBufferSlots; ++b) {
      if (!has(b)) continue;
      header.channels().insert(bufferChannelName(b), Imf::Channel(Imf::FLOAT));
      // The library only reads through the slice; its type wants a mutable base.
      float *data = const_cast<float *>(plane(b));
      slices.insert(bufferChannelName(b), sliceOver(Imf::FLOAT, data, 0, width_ - 1, 0));
    }
    Imf::OutputFile file(stream, header);
    file.setFrameBuffer(slices);
    file.writePixels(height_);
  });
}

} // namespace qx
