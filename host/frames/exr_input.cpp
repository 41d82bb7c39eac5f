// Reading one part of an OpenEXR file (or buffers gathered from several
// parts) strip by strip. Frame::readExr and the Cryptomatte layers of a file
// are read here too.
#include "frames/exr_input.h"

#include <Iex.h>
#include <ImfFrameBuffer.h>
#include <ImfInputPart.h>
#include <ImfMultiPartInputFile.h>
#include <ImfPartType.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <half.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <numeric>

#include "base/error.h"
#include "frames/exr_chunks.h"
#include "frames/exr_slices.h"

namespace qx {
namespace {

bool isDeep(const Imf::Header &header) {
  return header.hasType() && Imf::isDeepData(header.type());
}

std::string partLabel(const Imf::Header &header, int part) {
  return header.hasName() ? "\"" + header.name() + "\" (" + std::to_string(part) + ")"
                          : std::to_string(part);
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

// Rows of one chunk of a part: a tile's height, or the scan lines its
// compression packs together.
int chunkRows(const Imf::Header &header) {
  if (header.hasTileDescription()) return static_cast<int>(header.tileDescription().ySize);
  switch (header.compression()) {
  case Imf::NO_COMPRESSION:
  case Imf::RLE_COMPRESSION:
  case Imf::ZIPS_COMPRESSION:
    return 1;
  case Imf::PIZ_COMPRESSION:
  case Imf::B44_COMPRESSION:
  case Imf::B44A_COMPRESSION:
  case Imf::DWAA_COMPRESSION:
    return 32;
  case Imf::DWAB_COMPRESSION:
    return 256;
  default:
    return 16;
  }
}

} // namespace

// One channel of a part to read, and the buffers it feeds.
struct ExrInput::ChannelRead {
  std::string name;
  Imf::PixelType type;
  std::vector<int> buffers;
  int raw = -1;              // carried raw too: its index in passThrough
  std::vector<char> scratch; // the samples, when they cannot go straight into a plane
};

// What is read from one part for every strip.
struct ExrInput::PartRead {
  std::unique_ptr<Imf::InputPart> input;
  Imath::Box2i window;
  bool sameWindow = true;
  bool carried = false; // the part whose other channels are carried through
  std::vector<ChannelRead> reads;
  std::unique_ptr<ChunkReader> chunks; // when its chunks can be read straight into the strip
};

ExrInput::ExrInput(const std::string &path, const ExrReadOptions &options)
    : name_(path), path_(path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw Error(path + ": is a folder, not a frame");
  reopen_ = [path](int threads) {
    return std::make_unique<Imf::MultiPartInputFile>(path.c_str(), threads);
  };
  namingFailures(path, "read the frame", [&] {
    file_ = reopen_(Imf::globalThreadCount());
    open(options);
  });
}

ExrInput::ExrInput(Imf::IStream &stream, const std::string &name, const ExrReadOptions &options)
    : name_(name) {
  // Only open() opens it again, while the stream is the caller's.
  reopen_ = [&stream](int threads) {
    stream.seekg(0);
    return std::make_unique<Imf::MultiPartInputFile>(stream, threads);
  };
  namingFailures(name, "read the frame", [&] {
    file_ = reopen_(Imf::globalThreadCount());
    open(options);
  });
}

ExrInput::~ExrInput() = default;

FrameWindows ExrInput::windows() const {
  const Imath::Box2i &display = header_.displayWindow();
  return {window_.min.x, window_.min.y, window_.max.x, window_.max.y,
          display.min.x, display.min.y, display.max.x, display.max.y};
}

bool ExrInput::holds(int buffer) const {
  const ExrBufferSource &source = sources_[static_cast<std::size_t>(buffer)];
  return source.constant || source.part >= 0;
}

void ExrInput::open(const ExrReadOptions &options) {
  const Imf::MultiPartInputFile &file = *file_;
  const int parts = file.parts();
  for (int p = 0; p < parts; ++p) {
    CryptomattePartInfo info;
    const Imf::ChannelList &list = file.header(p).channels();
    for (auto it = list.begin(); it != list.end(); ++it) {
      fileChannels_.push_back(parts == 1
                                  ? std::string(it.name())
                                  : std::string(it.name()) + " (part " + std::to_string(p) + ")");
      info.channels.emplace_back(it.name());
    }
    for (auto it = file.header(p).begin(); it != file.header(p).end(); ++it) {
      const auto *text = dynamic_cast<const Imf::StringAttribute *>(&it.attribute());
      if (text != nullptr && std::strncmp(it.name(), "cryptomatte/", 12) == 0) {
        info.attributes[it.name()] = text->value();
      }
    }
    cryptomatteParts_.push_back(std::move(info));
  }

  const int chosen = options.part.empty() ? -1 : resolvePart(file, options.part, name_);
  if (chosen >= 0 && isDeep(file.header(chosen))) {
    throw Error(name_ + ": part " + partLabel(file.header(chosen), chosen) +
                " holds deep data; the host reads flat images only");
  }

  // Where each buffer's channel is: the chosen part, or the first flat part
  // that holds it.
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!options.buffers.test(static_cast<std::size_t>(b))) continue;
    const ChannelSource &source = options.map.source(b);
    ExrBufferSource &found = sources_[static_cast<std::size_t>(b)];
    if (source.kind == ChannelSource::Kind::Constant) {
      found.constant = true;
      constants_[static_cast<std::size_t>(b)] = source.constant;
      continue;
    }
    if (source.channel.empty()) continue;
    for (int p = chosen >= 0 ? chosen : 0; p < (chosen >= 0 ? chosen + 1 : parts); ++p) {
      if (isDeep(file.header(p))) continue;
      const Imf::Channel *channel = file.header(p).channels().findChannel(source.channel);
      if (channel == nullptr) continue;
      if (channel->xSampling != 1 || channel->ySampling != 1) {
        throw Error(name_ + ": channel \"" + source.channel +
                    "\" is subsampled; the host reads only full-resolution channels");
      }
      found.channel = source.channel;
      found.type = channel->type;
      found.part = p;
      break;
    }
  }

  extraSources_.resize(options.extraChannels.size());
  for (std::size_t k = 0; k < options.extraChannels.size(); ++k) {
    const std::string &wanted = options.extraChannels[k];
    ExrBufferSource &found = extraSources_[k];
    for (int p = chosen >= 0 ? chosen : 0; p < (chosen >= 0 ? chosen + 1 : parts); ++p) {
      if (isDeep(file.header(p))) continue;
      const Imf::Channel *channel = file.header(p).channels().findChannel(wanted);
      if (channel == nullptr) continue;
      if (channel->xSampling != 1 || channel->ySampling != 1) {
        throw Error(name_ + ": channel \"" + wanted +
                    "\" is subsampled; the host reads only full-resolution channels");
      }
      found.channel = wanted;
      found.type = channel->type;
      found.part = p;
      break;
    }
    if (found.part < 0) throw Error(name_ + ": no channel \"" + wanted + "\"");
  }

  int main = chosen;
  if (main < 0) main = sources_[HOST_BUF_RED].part;
  for (int b = 0; b < kBufferSlots && main < 0; ++b) main = sources_[b].part;
  for (int p = 0; p < parts && main < 0; ++p) {
    if (!isDeep(file.header(p))) main = p;
  }
  if (main < 0)
    throw Error(name_ + ": every part holds deep data; the host reads flat images only");
  part_ = main;
  header_ = file.header(main);
  window_ = header_.dataWindow();
  // Checked before anything the size of the window is made.
  frameForWindow(name_, window_.min.x, window_.min.y, window_.max.x, window_.max.y,
                 options.maxPixels);
  alignment_ = chunkRows(header_);
  if (options.keepChunks && options.passThrough) {
    // What an output that copies chunks needs of the input: the part alone
    // (so every buffer comes from it), read chunk by chunk from the top.
    const char *unsuited = ChunkReader::unsuited(header_);
    if (parts > 1) {
      keepRefusal_ = "the file has several parts";
    } else if (unsuited != nullptr) {
      keepRefusal_ = unsuited;
    } else if (header_.lineOrder() != Imf::INCREASING_Y) {
      keepRefusal_ = "its rows are not stored from the top down";
    }
    keepChunks_ = keepRefusal_.empty();
    if (keepChunks_ && !path_.empty()) chunkFile_ = std::make_unique<ChunkFile>(path_, main);
  }
  planReading(options, main);

  for (int p = 0; p < parts; ++p) {
    PartRead part;
    const int reads = kBufferSlots + static_cast<int>(extraSources_.size());
    for (int b = 0; b < reads; ++b) {
      // Buffers, then the extra channels, numbered on after them.
      const ExrBufferSource &source =
          b < kBufferSlots ? sources_[static_cast<std::size_t>(b)]
                           : extraSources_[static_cast<std::size_t>(b - kBufferSlots)];
      if (source.part != p) continue;
      auto same = std::find_if(part.reads.begin(), part.reads.end(),
                               [&](const ChannelRead &r) { return r.name == source.channel; });
      if (same == part.reads.end()) {
        part.reads.push_back({source.channel, source.type, {b}, -1, {}});
      } else {
        same->buffers.push_back(b);
      }
    }
    part.carried = p == main && options.passThrough;
    if (part.reads.empty() && !part.carried) continue;
    part.input = std::make_unique<Imf::InputPart>(*file_, p);
    part.window = part.input->header().dataWindow();
    part.sameWindow = part.window == window_;
    if (part.sameWindow && ChunkReader::suits(part.input->header())) {
      part.chunks = std::make_unique<ChunkReader>(part.input->header(), plan_.threads);
    }
    if (part.carried) {
      const Imf::ChannelList &list = part.input->header().channels();
      for (auto it = list.begin(); it != list.end(); ++it) {
        auto read = std::find_if(part.reads.begin(), part.reads.end(),
                                 [&](const ChannelRead &r) { return r.name == it.name(); });
        // A float or half buffer goes back from its plane; a uint one is
        // kept as the file's own integers too, since a float holds them
        // exactly only up to 2^24, and so is an extra channel, which has no
        // plane the output writes.
        const bool extra =
            read != part.reads.end() && std::any_of(read->buffers.begin(), read->buffers.end(),
                                                    [](int b) { return b >= kBufferSlots; });
        if (read != part.reads.end() && read->type != Imf::UINT && !extra) continue;
        passThroughRead_.push_back(read != part.reads.end());
        if (read != part.reads.end()) {
          read->raw = static_cast<int>(passThrough_.size());
          for (int b : read->buffers) {
            if (b < kBufferSlots) sources_[static_cast<std::size_t>(b)].raw = read->raw;
          }
        }
        passThrough_.push_back({it.name(), it.channel()});
        alignment_ = std::lcm(alignment_, it.channel().ySampling);
      }
    }
    parts_.push_back(std::move(part));
  }
}

// What reading a frame takes, worked out from the headers alone: the
// library's line buffers of each part read (about three times a chunk's
// rows of every channel for each of twice the threads, a third of that
// when stored plain), the chunk reader's packed and inflated chunks, the
// strips and colours in flight, and the output's share (ExrMemoryUse). It
// errs high: a frame of 200 half channels took 246 MB where 662 MiB were
// planned, since the library's buffers are only touched as far as the
// compressed bytes reach.
void ExrInput::planReading(const ExrReadOptions &options, int main) {
  const Imf::MultiPartInputFile &file = *file_;
  const ExrMemoryUse &use = options.memory;
  const double width = this->width(), height = this->height();
  double stripRow = 0.0, scratchRow = 0.0, outRow = 16.0 * width; // the colour, as float
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!holds(b)) continue;
    stripRow += 4.0 * width;
    const ExrBufferSource &source = sources_[static_cast<std::size_t>(b)];
    if (b < HOST_BUF_RED && !source.channel.empty()) outRow += 4.0 * width;
  }
  // Extra channels come as float planes; the soft edges they feed work on
  // four more planes of sums and one of the results.
  for (std::size_t k = 0; k < extraSources_.size(); ++k) stripRow += 4.0 * width;
  if (!extraSources_.empty()) stripRow += 41.0 * width;
  std::size_t channels = 0;
  int alignment = alignment_;
  // The carried part's other channels, in their own types.
  if (options.passThrough) {
    const Imf::ChannelList &list = file.header(main).channels();
    for (auto it = list.begin(); it != list.end(); ++it) {
      const bool asBuffer =
          std::any_of(sources_.begin(), sources_.end(), [&](const ExrBufferSource &s) {
            return s.part == main && s.channel == it.name() && s.type != Imf::UINT;
          });
      if (asBuffer) continue;
      const Imf::Channel &c = it.channel();

      const double bytes =
          std::ceil(width / c.xSampling) * static_cast<double>(sampleBytes(c.type)) / c.ySampling;
      // The output's share stays: a copying output packs a changed chunk
      // in buffers as large as the library's. Its strips hold only the
      // pass-through channels that are buffers too; the chunks they keep
      // are counted below.
      outRow += use.floatOutput && c.type == Imf::HALF ? 2.0 * bytes : bytes;
      const bool isRead =
          std::any_of(
              sources_.begin(), sources_.end(),
              [&](const ExrBufferSource &s) { return s.part == main && s.channel == it.name(); }) ||
          std::any_of(extraSources_.begin(), extraSources_.end(),
                      [&](const ExrBufferSource &s) { return s.channel == it.name(); });
      if (!keepChunks_ || isRead) stripRow += bytes;
      alignment = std::lcm(alignment, c.ySampling);
    }
  }
  // Each part read: its chunks' rows, and the bytes of a row of every
  // channel.
  struct Decoding {
    double rowBytes = 0.0;
    int rows = 1;
    double factor = 3.0;
    bool chunkReader = false, compressed = true;
    bool kept = false; // its chunks go into the strips, not the reader's own buffers
  };
  std::vector<Decoding> decodings;
  for (int p = 0; p < file.parts(); ++p) {
    const bool carried = p == main && options.passThrough;
    const auto inPart = [p](const ExrBufferSource &s) { return s.part == p; };
    const bool readFrom = std::any_of(sources_.begin(), sources_.end(), inPart) ||
                          std::any_of(extraSources_.begin(), extraSources_.end(), inPart);
    if (!carried && !readFrom) continue;
    const Imf::Header &header = file.header(p);
    const Imath::Box2i &box = header.dataWindow();
    double partWidth = box.max.x - box.min.x + 1;
    if (header.hasTileDescription()) {
      partWidth = std::min<double>(partWidth, header.tileDescription().xSize);
    }
    Decoding decoding;
    decoding.rows = chunkRows(header);
    decoding.compressed = header.compression() != Imf::NO_COMPRESSION;
    decoding.factor = decoding.compressed ? 3.0 : 1.0;
    decoding.chunkReader = box == window_ && ChunkReader::suits(header);
    const Imf::ChannelList &list = header.channels();
    for (auto it = list.begin(); it != list.end(); ++it) {
      decoding.rowBytes += std::ceil(partWidth / it.channel().xSampling) *
                           static_cast<double>(sampleBytes(it.channel().type)) /
                           it.channel().ySampling;
      ++channels;
    }
    for (const ExrBufferSource &s : sources_) {
      if (s.part == p && (s.type == Imf::UINT || box != window_)) {
        scratchRow += 4.0 * (box.max.x - box.min.x + 1);
      }
    }
    decodings.push_back(decoding);
    // Each strip in flight holds its chunks packed and inflated.
    if (carried && keepChunks_) {
      stripRow += 2.0 * decoding.rowBytes;
      decodings.back().kept = true;
    }
  }
  const double outFactor = header_.compression() == Imf::NO_COMPRESSION ? 1.0 : 3.0;
  const int outRows = chunkRows(header_);
  auto cost = [&](int rowsGiven, int threads) -> std::uint64_t {
    const double rows = rowsGiven, lineBuffers = 2.0 * threads;
    double bytes = 0.0;
    for (const Decoding &d : decodings) {
      // The chunk reader fetches every chunk through the library's first
      // line buffer and leaves the others, and the library's decompressors,
      // untouched: memory never written takes no page.
      bytes += (d.chunkReader ? 1.0 : lineBuffers * d.factor) * d.rows * d.rowBytes;
      if (d.chunkReader && !d.kept) {
        const double chunks = std::ceil(rows / d.rows);
        bytes += chunks * d.rows * d.rowBytes;
        if (d.compressed) bytes += std::min<double>(threads, chunks) * d.rows * d.rowBytes;
      }
    }
    bytes += rows * scratchRow;
    if (use.strips) {
      bytes += kStripsInFlight * rows * stripRow + kColoursInFlight * rows * 16.0 * width;
    } else {
      bytes += (1.0 + use.wholeCopies) * rows * stripRow + rows * 16.0 * width;
    }
    if (use.output == ExrMemoryUse::Output::Exr) {
      bytes += use.outputs * (lineBuffers * outRows * outRow * outFactor + rows * outRow);
    } else if (use.output == ExrMemoryUse::Output::WholeColour) {
      bytes += use.outputs * width * height * 16.0 + width * height * 4.0;
      if (use.displayPicture) {
        const Imath::Box2i &display = header_.displayWindow();
        bytes +=
            20.0 * (display.max.x - display.min.x + 1.0) * (display.max.y - display.min.y + 1.0);
      }
    }
    return bytes >= 1.8e19 ? std::numeric_limits<std::uint64_t>::max()
                           : static_cast<std::uint64_t>(bytes);
  };
  const int strip =
      use.strips ? (kDefaultStripRows + alignment - 1) / alignment * alignment : this->height();
  plan_ = qx::planMemory(use.maxBytes, strip, use.strips ? alignment : strip,
                         std::max(1, Imf::globalThreadCount()), cost);
  if (!plan_.fits) {
    const std::string shape = std::to_string(channels) + " channels of " +
                              std::to_string(this->width()) + "x" + std::to_string(this->height()) +
                              " pixels, ";
    throw Error(memoryRefusal(
        name_, plan_.bytes, use.maxBytes,
        shape + (use.strips ? "in strips of " + std::to_string(plan_.rows) + " rows on one thread"
                            : "held whole on one thread")));
  }
  // The library sized its line buffers by the threads the file was opened
  // with.
  if (plan_.threads < Imf::globalThreadCount()) file_ = reopen_(plan_.threads);
}

void ExrInput::finishReading() {
  parts_.clear();
  chunkFile_.reset();
  file_.reset();
}

void ExrInput::read(int firstRow, int rows, ExrStrip &strip) {
  namingFailures(name_, "read the frame", [&] {
    strip.firstRow = firstRow;
    strip.rows = rows;
    strip.frame.reshape(width(), rows);
    for (int b = 0; b < kBufferSlots; ++b) {
      if (!holds(b)) {
        strip.frame.remove(b);
      } else if (sources_[static_cast<std::size_t>(b)].constant) {
        float *plane = strip.frame.mutablePlane(b);
        std::fill(plane, plane + strip.frame.pixelCount(), constants_[static_cast<std::size_t>(b)]);
      }
    }
    const int y0 = window_.min.y + firstRow, y1 = y0 + rows - 1;
    strip.raw.resize(passThrough_.size());
    for (std::size_t i = 0; i < passThrough_.size(); ++i) {
      const Imf::Channel &c = passThrough_[i].channel;
      if (keepChunks_ && !passThroughRead_[i]) {
        strip.raw[i].clear(); // its samples stay in the kept chunks
        continue;
      }
      strip.raw[i].resize(
          samplesIn(window_.min.x, window_.max.x, y0, y1, c.xSampling, c.ySampling) *
          sampleBytes(c.type));
    }
    strip.extra.resize(extraSources_.size());
    for (std::vector<float> &plane : strip.extra) plane.resize(strip.frame.pixelCount());
    for (PartRead &part : parts_) readPart(part, y0, y1, strip);
  });
}

void ExrInput::readPart(PartRead &part, int y0, int y1, ExrStrip &strip) {
  Frame &frame = strip.frame;
  const Imath::Box2i stripBox(Imath::V2i(window_.min.x, y0), Imath::V2i(window_.max.x, y1));
  // The rows of this part that the strip covers.
  const Imath::Box2i rows(Imath::V2i(part.window.min.x, std::max(y0, part.window.min.y)),
                          Imath::V2i(part.window.max.x, std::min(y1, part.window.max.y)));
  // Where each channel read goes: samples row by row over `rows` (for the
  // carried part, the strip).
  struct Target {
    const std::string *name;
    Imf::PixelType type;
    void *data;
    int xSampling = 1, ySampling = 1;
  };
  // A buffer's plane, or an extra channel's.
  const auto planeOf = [&](int b) {
    return b < kBufferSlots ? frame.mutablePlane(b)
                            : strip.extra[static_cast<std::size_t>(b - kBufferSlots)].data();
  };
  std::vector<Target> targets;
  for (ChannelRead &read : part.reads) {
    float *plane = planeOf(read.buffers.front());
    if (!part.sameWindow) std::fill(plane, plane + frame.pixelCount(), 0.0f);
    if (rows.min.y > rows.max.y) continue;
    void *target = nullptr;
    Imf::PixelType type = read.type == Imf::UINT ? Imf::UINT : Imf::FLOAT;
    if (read.raw >= 0 && part.sameWindow) {
      target = strip.raw[static_cast<std::size_t>(read.raw)].data();
      type = read.type; // the file's own samples
    } else if (read.type == Imf::UINT || !part.sameWindow) {
      const std::size_t bytes = samplesIn(rows.min.x, rows.max.x, rows.min.y, rows.max.y, 1, 1) *
                                (read.type == Imf::UINT ? sizeof(unsigned int) : sizeof(float));
      read.scratch.resize(bytes);
      target = read.scratch.data();
    } else {
      target = plane;
    }
    targets.push_back({&read.name, type, target});
  }
  if (part.carried && !keepChunks_) {
    for (std::size_t i = 0; i < passThrough_.size(); ++i) {
      const ExrRawChannel &raw = passThrough_[i];
      const bool read = std::any_of(targets.begin(), targets.end(),
                                    [&](const Target &t) { return *t.name == raw.name; });
      if (read) continue;
      targets.push_back({&raw.name, raw.channel.type, strip.raw[i].data(), raw.channel.xSampling,
                         raw.channel.ySampling});
    }
  }
  if (rows.min.y > rows.max.y) return;

  // Straight from the chunks when the strip is whole chunks of the part
  // (it always is of the part carried through), else through the library.
  const bool wholeChunks = part.chunks &&
                           (rows.min.y - part.window.min.y) % part.chunks->chunkRows() == 0 &&
                           ((rows.max.y + 1 - part.window.min.y) % part.chunks->chunkRows() == 0 ||
                            rows.max.y == part.window.max.y);
  if (wholeChunks) {
    std::vector<ChunkTarget> byChannel;
    const Imf::ChannelList &list = part.input->header().channels();
    for (auto it = list.begin(); it != list.end(); ++it) {
      auto target = std::find_if(targets.begin(), targets.end(),
                                 [&](const Target &t) { return *t.name == it.name(); });
      byChannel.push_back(target == targets.end()
                              ? ChunkTarget{}
                              : ChunkTarget{static_cast<char *>(target->data), target->type});
    }
    part.chunks->read(*part.input, rows.min.y, rows.max.y, byChannel,
                      part.carried && keepChunks_ ? &strip.chunks : nullptr, chunkFile_.get());
  } else {
    if (part.carried && keepChunks_) {
      throw Error(name_ + ": rows " + std::to_string(rows.min.y) + " to " +
                  std::to_string(rows.max.y) + " are not whole chunks of the part");
    }
    Imf::FrameBuffer slices;
    for (const Target &t : targets) {
      slices.insert(*t.name, sliceOver(t.type, t.data, rows.min.x, rows.max.x, rows.min.y,
                                       t.xSampling, t.ySampling));
    }
    part.input->setFrameBuffer(slices);
    part.input->readPixels(rows.min.y, rows.max.y);
  }

  for (ChannelRead &read : part.reads) {
    float *plane = planeOf(read.buffers.front());
    const bool raw = read.raw >= 0 && part.sameWindow;
    const void *samples =
        raw ? static_cast<const void *>(strip.raw[static_cast<std::size_t>(read.raw)].data())
            : read.scratch.data();
    if (read.type == Imf::UINT) {
      copyOverlap(static_cast<const unsigned int *>(samples), rows, plane, stripBox);
    } else if (raw) { // an extra channel kept as the file's own samples
      forEachAsFloat(samples, read.type, frame.pixelCount(),
                     [plane](std::size_t i, float v) { plane[i] = v; });
    } else if (!part.sameWindow) {
      copyOverlap(static_cast<const float *>(samples), rows, plane, stripBox);
    }
    for (std::size_t k = 1; k < read.buffers.size(); ++k) {
      std::copy(plane, plane + frame.pixelCount(), planeOf(read.buffers[k]));
    }
  }
}

// Frames of host buffers alone: every channel that names a buffer, read as
// float, and written back as float.

namespace {

ExrReadOptions everyBuffer(std::uint64_t maxPixels) {
  ExrReadOptions options;
  for (int b = 0; b < kBufferSlots; ++b) {
    options.buffers.set(static_cast<std::size_t>(b), bufferChannelName(b) != nullptr);
  }
  options.passThrough = false;
  options.part = "0";
  options.maxPixels = maxPixels;
  // Bounded by pixels alone: the commands that read frames so (planes, the
  // panel's pictures) take no --max-memory.
  options.memory.maxBytes = std::numeric_limits<std::uint64_t>::max();
  return options;
}

Frame readWhole(ExrInput &input) {
  ExrStrip strip;
  input.read(0, input.height(), strip);
  return std::move(strip.frame);
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

} // namespace

Frame Frame::readExr(const std::string &path, std::uint64_t maxPixels) {
  ExrInput input(path, everyBuffer(maxPixels));
  return readWhole(input);
}

Frame Frame::readExrBytes(const std::string &bytes, const std::string &name,
                          std::uint64_t maxPixels) {
  MemoryInput stream(bytes, name);
  ExrInput input(stream, name, everyBuffer(maxPixels));
  return readWhole(input);
}

std::vector<CryptomatteLayer>
cryptomatteLayersOf(const ExrInput &input, const std::function<void(const std::string &)> &warn) {
  const std::string folder = std::filesystem::path(input.name()).parent_path().string();
  return cryptomatteLayers(input.cryptomatteParts(), input.name(), folder.empty() ? "." : folder,
                           warn);
}

std::vector<CryptomatteLayer>
readCryptomatteLayers(const std::string &path,
                      const std::function<void(const std::string &)> &warn) {
  ExrReadOptions headersOnly;
  headersOnly.passThrough = false;
  const ExrInput input(path, headersOnly);
  return cryptomatteLayersOf(input, warn);
}

} // namespace qx
