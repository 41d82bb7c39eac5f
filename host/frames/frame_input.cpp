// How a frame is taken in: its options, the check of what it holds, and
// frames read whole.
#include "frames/frame_input.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "base/error.h"
#include "frames/npy.h"
#if QX_WITH_EXR
#include "frames/exr_input.h"
#endif

namespace qx {
namespace {

std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "no channel at all" : text;
}

// The buffer's name for messages: its channel in the Frames table, or its
// number alone.
std::string bufferLabel(int buffer) {
  const char *channel = bufferChannelName(buffer);
  return channel != nullptr
             ? "\"" + std::string(channel) + "\" (buffer " + std::to_string(buffer) + ")"
             : "buffer " + std::to_string(buffer);
}

// What --verbose says of a buffer filled with a constant.
std::string constantSource(int buffer, float value) {
  char text[64];
  std::snprintf(text, sizeof text, " is the constant %g", static_cast<double>(value));
  return bufferLabel(buffer) + text;
}

} // namespace

void FrameReadOptions::checkLimits(const std::string &command) {
  if (maxPixels == 0) throw Error(command + ": --max-pixels must be at least 1");
  maxBytes =
      parseByteSize(maxMemory, command.empty() ? "--max-memory" : command + ": --max-memory");
}

void FrameReadOptions::mapChannels(const std::string &command) {
  map = ChannelMap();
  if (!chMap.empty()) map.addJsonFile(chMap);
  for (const std::string &text : ch) map.addText(text, command + ": --ch");
  if (!cryptomatte.empty() && map.isMapped(0)) {
    throw Error(command + ": --cryptomatte gives each pixel its ids; it takes no mapping of "
                          "SpecialBuffer (--ch or --ch-map)");
  }
}

std::bitset<kBufferSlots> buffersFor(unsigned int mask) {
  std::bitset<kBufferSlots> wanted;
  for (int b = 0; b < HOST_BUF_RED; ++b)
    wanted.set(static_cast<std::size_t>(b), (mask & (1u << b)) != 0);
  for (int b = HOST_BUF_RED; b <= HOST_BUF_ALPHA; ++b) wanted.set(static_cast<std::size_t>(b));
  wanted.set(0);
  return wanted;
}

namespace {

// Levenshtein's distance between two names, for the closest channels.
std::size_t distance(const std::string &a, const std::string &b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A file channel's name without the part that InputHoldings adds.
std::string bareChannel(const std::string &listed) {
  const std::size_t part = listed.find(" (part ");
  return part == std::string::npos ? listed : listed.substr(0, part);
}

// The file's channels that come closest to `wanted`, up to three.
std::string closestChannels(const std::string &wanted, const std::vector<std::string> &channels) {
  std::vector<std::pair<std::size_t, std::string>> ranked;
  ranked.reserve(channels.size());
  for (const std::string &listed : channels) {
    ranked.emplace_back(distance(wanted, bareChannel(listed)), listed);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  std::string text;
  for (std::size_t i = 0; i < ranked.size() && i < 3; ++i) {
    text += (text.empty() ? "" : ", ") + ranked[i].second;
  }
  return text;
}

} // namespace

void checkFrameInput(const FrameReadOptions &frame, const std::bitset<kBufferSlots> &wanted,
                     const InputHoldings &input, const std::string &name,
                     std::bitset<kBufferSlots> &warned) {
  std::vector<std::string> missing;
  std::vector<std::string> mistyped; // mapped for a buffer the filter reads
  for (int b = 0; b < kBufferSlots; ++b) {
    const auto bit = static_cast<std::size_t>(b);
    const ChannelSource &source = frame.map.source(b);
    if (!wanted.test(bit)) {
      // A map may name channels for buffers other scenes read: a warning.
      const bool named = frame.map.isMapped(b) && source.kind == ChannelSource::Kind::Channel;
      const auto inFile = [&] {
        return std::any_of(input.fileChannels.begin(), input.fileChannels.end(),
                           [&](const std::string &c) { return bareChannel(c) == source.channel; });
      };
      if (named && !warned.test(bit) && !input.fileChannels.empty() && !inFile()) {
        warned.set(bit);
        std::fprintf(stderr,
                     "qxhost: warning: %s has no channel \"%s\" mapped for %s (the filter does "
                     "not read it)\n",
                     name.c_str(), source.channel.c_str(), bufferLabel(b).c_str());
      }
      continue;
    }
    if (input.held.test(bit)) continue;
    const std::string &channel = source.channel;
    const bool essential = b == 0 || b >= HOST_BUF_RED;
    if (essential && !frame.allowMissing) {
      missing.push_back("\"" + channel + "\"" +
                        (frame.map.isMapped(b) ? " for " + bufferLabel(b) : ""));
      continue;
    }
    if (frame.map.isMapped(b) && !frame.allowMissing) {
      mistyped.push_back("\"" + channel + "\" for " + bufferLabel(b) +
                         " (closest: " + closestChannels(channel, input.fileChannels) + ")");
      continue;
    }
    if (warned.test(bit)) continue;
    warned.set(bit);
    const std::string label =
        frame.map.isMapped(b) ? "\"" + channel + "\" for " + bufferLabel(b) : bufferLabel(b);
    std::fprintf(stderr, "qxhost: warning: %s has no channel %s%s; it reads 0.0\n", name.c_str(),
                 label.c_str(), essential ? "" : ", which the filter asks for");
  }
  if (!missing.empty()) {
    throw Error(name + ": no channel " + joined(missing) + "; the file has " +
                joined(input.fileChannels) + " (" + frame.missingHint + ")");
  }
  if (!mistyped.empty()) {
    throw Error(name + ": no channel " + joined(mistyped) +
                ", though the map names it for a buffer the filter reads (correct the map, or "
                "give --allow-missing to read 0.0)");
  }
  if (frame.verbose) {
    for (const std::string &source : input.sources) {
      std::fprintf(stderr, "qxhost: %s: %s\n", name.c_str(), source.c_str());
    }
  }
}

InputFrame readPlaneFolder(const std::string &folder, const ChannelMap &map,
                           std::uint64_t maxPixels, std::uint64_t maxBytes, int copies) {
  std::array<std::string, kBufferSlots> names;
  for (int b = 0; b < kBufferSlots; ++b) {
    const ChannelSource &source = map.source(b);
    if (source.kind == ChannelSource::Kind::Channel)
      names[static_cast<std::size_t>(b)] = source.channel;
  }
  // The planes' headers say what the frame takes before any is read.
  std::uint64_t planes = 0, pixels = 0;
  for (const std::string &name : names) {
    std::error_code ec;
    if (name.empty()) continue;
    const std::string path = (std::filesystem::path(folder) / (name + ".npy")).string();
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    pixels = std::max<std::uint64_t>(pixels, readNpyHeader(path).count());
    ++planes;
  }
  // The planes and their copies, one plane twice more while it is read
  // (its bytes and its floats), the colour and its written form.
  const std::uint64_t bytes =
      4 * pixels * (planes * (1 + static_cast<std::uint64_t>(copies)) + 2 + 4 + 1);
  if (bytes > maxBytes) {
    throw Error(memoryRefusal(folder, bytes, maxBytes,
                              std::to_string(planes) + " planes of " + std::to_string(pixels) +
                                  " pixels, held whole"));
  }
  InputFrame input;
  input.frame = Frame::readPlanes(folder, maxPixels, &names);
  input.windows = FrameWindows::whole(input.frame.width(), input.frame.height());
  for (int b = 0; b < kBufferSlots; ++b) {
    const ChannelSource &source = map.source(b);
    const auto bit = static_cast<std::size_t>(b);
    if (source.kind == ChannelSource::Kind::Constant) {
      float *plane = input.frame.mutablePlane(b);
      std::fill(plane, plane + input.frame.pixelCount(), source.constant);
      input.holdings.held.set(bit);
      input.holdings.sources.push_back(constantSource(b, source.constant));
    } else if (input.frame.has(b)) {
      input.holdings.held.set(bit);
      input.holdings.sources.push_back(bufferLabel(b) + " reads plane \"" + source.channel +
                                       ".npy\"");
    }
  }
  // What the folder has, for the message naming what is missing.
  std::error_code ec;
  for (const auto &item : std::filesystem::directory_iterator(folder, ec)) {
    const std::filesystem::path &path = item.path();
    if (path.extension() == ".npy") input.holdings.fileChannels.push_back(path.filename().string());
  }
  std::sort(input.holdings.fileChannels.begin(), input.holdings.fileChannels.end());
  return input;
}

#if QX_WITH_EXR
ExrReadOptions exrReadOptionsFor(const FrameReadOptions &frame,
                                 const std::bitset<kBufferSlots> &buffers) {
  ExrReadOptions read;
  read.map = frame.map;
  read.buffers = buffers;
  read.part = frame.part;
  read.maxPixels = frame.maxPixels;
  read.memory.maxBytes = frame.maxBytes;
  return read;
}

InputHoldings holdingsOf(const ExrInput &input, const ChannelMap &map) {
  InputHoldings holdings;
  holdings.fileChannels = input.fileChannels();
  for (int b = 0; b < kBufferSlots; ++b) {
    holdings.held.set(static_cast<std::size_t>(b), input.holds(b));
    const ExrBufferSource &source = input.sources()[static_cast<std::size_t>(b)];
    if (source.constant) {
      holdings.sources.push_back(constantSource(b, map.source(b).constant));
    } else if (source.part >= 0) {
      holdings.sources.push_back(bufferLabel(b) + " reads channel \"" + source.channel +
                                 "\" of part " + std::to_string(source.part));
    }
  }
  const std::string threads =
      std::to_string(input.threads()) + (input.threads() == 1 ? " thread" : " threads");
  holdings.sources.push_back(
      (input.stripRows() >= input.height()
           ? "read whole on " + threads
           : "read in strips of " + std::to_string(input.stripRows()) + " rows on " + threads) +
      ", about " + byteText(input.plannedBytes()) + " planned (--max-memory)");
  return holdings;
}

InputFrame readInputFrame(const std::string &path, const ExrReadOptions &read) {
  if (namesPlaneFolder(path)) {
    return readPlaneFolder(path, read.map, read.maxPixels, read.memory.maxBytes,
                           read.memory.wholeCopies);
  }
  ExrInput exr(path, read);
  ExrStrip whole;
  exr.read(0, exr.height(), whole);
  return {std::move(whole.frame), holdingsOf(exr, read.map), exr.windows(), std::move(whole.extra)};
}

InputFrame readViewFrame(const std::string &path, const FrameReadOptions &frame,
                         std::optional<CryptomatteLayer> &layer) {
  std::bitset<kBufferSlots> buffers;
  for (int b = 0; b < kBufferSlots; ++b) {
    if (bufferChannelName(b) != nullptr) buffers.set(static_cast<std::size_t>(b));
  }
  layer.reset();
  if (!frame.cryptomatte.empty()) {
    if (namesPlaneFolder(path)) {
      throw Error(path + ": --cryptomatte reads an OpenEXR frame's layer, not planes");
    }
    // Each pixel's ids come from the layer's ranks, read besides the buffers.
    buffers.reset(0);
    const std::vector<CryptomatteLayer> layers =
        readCryptomatteLayers(path, [](const std::string &w) {
          std::fprintf(stderr, "qxhost: warning: %s\n", w.c_str());
        });
    layer = findCryptomatteLayer(layers, frame.cryptomatte, path);
  }
  ExrReadOptions read = exrReadOptionsFor(frame, buffers);
  read.passThrough = false;
  if (layer) read.extraChannels = layer->rankChannels;
  // Held whole, and once more as the render view shows it.
  read.memory.wholeCopies = 1;
  return readInputFrame(path, read);
}
#endif

} // namespace qx
