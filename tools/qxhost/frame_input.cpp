// How a command takes a frame in: options, reading, checks and alpha.
#include "frame_input.h"

#include <cstdio>

#include "error.h"

namespace qx::cli {
namespace {

// The buffer's name for messages: its channel in the Frames table, or its
// number alone.
std::string bufferLabel(int buffer) {
  const char *channel = bufferChannelName(buffer);
  return channel != nullptr
             ? "\"" + std::string(channel) + "\" (buffer " + std::to_string(buffer) + ")"
             : "buffer " + std::to_string(buffer);
}

std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "no channel at all" : text;
}

} // namespace

void addFrameInputOptions(CLI::App &command, FrameInputArgs &args) {
  command.add_option("--ch", args.ch,
                     "Map host buffers to channels: BUFFER=CHANNEL,... or BUFFER=NUMBER for a "
                     "constant, e.g. SpecialBuffer=objectId,R=ViewLayer.Combined.R,Shadow=1.0");
  command.add_option("--ch-map", args.chMap,
                     "A JSON channel map {\"BUFFER\": \"CHANNEL\" or number}; --ch overrides it");
  command.add_flag("--allow-missing", args.allowMissing,
                   "A missing colour or special-buffer channel reads 0.0 (with a warning) "
                   "instead of being an error");
  command.add_option("--part", args.part,
                     "The part of a multi-part file, by name or number (default: each channel "
                     "is looked for in every part)");
  command.add_flag("--verbose", args.verbose,
                   "Say which channel and part each buffer is read from");
  command
      .add_option("--alpha", args.alpha,
                  "straight (default): the colour is filtered as it is; premultiplied: "
                  "divided by A before the filter and multiplied after, A = 0 untouched")
      ->check(CLI::IsMember({"straight", "premultiplied"}));
  command
      .add_option("--max-pixels", args.maxPixels,
                  "The largest frame to read, in pixels; a larger data window is refused before "
                  "anything is allocated")
      ->capture_default_str();
}

ExrReadOptions frameReadOptions(const FrameInputArgs &args, const std::string &command) {
  ExrReadOptions read;
  if (!args.chMap.empty()) read.map.addJsonFile(args.chMap);
  for (const std::string &text : args.ch) read.map.addText(text, command + ": --ch");
  read.part = args.part;
  read.maxPixels = args.maxPixels;
  return read;
}

std::bitset<kBufferSlots> buffersFor(unsigned int mask) {
  std::bitset<kBufferSlots> wanted;
  for (int b = 0; b < 32; ++b) wanted.set(static_cast<std::size_t>(b), (mask & (1u << b)) != 0);
  for (int b = 32; b < 36; ++b) wanted.set(static_cast<std::size_t>(b));
  wanted.set(0);
  return wanted;
}

ExrImage readFrameInput(const std::string &path, const ExrReadOptions &read) {
  if (!namesPlaneFolder(path)) return readExrImage(path, read);
  ExrImage image;
  image.frame = Frame::readPlanes(path);
  for (int b = 0; b < kBufferSlots; ++b) {
    if (image.frame.has(b) && bufferChannelName(b) != nullptr)
      image.fileChannels.push_back(bufferChannelName(b) + std::string(".npy"));
  }
  return image;
}

void checkFrameChannels(const ExrImage &image, const std::string &name,
                        const std::bitset<kBufferSlots> &wanted, const ChannelMap &map,
                        bool allowMissing, bool verbose, std::bitset<kBufferSlots> &warned) {
  std::vector<std::string> missing;
  for (int b = 0; b < kBufferSlots; ++b) {
    if (!wanted.test(static_cast<std::size_t>(b)) || image.frame.has(b)) continue;
    const std::string &channel = map.source(b).channel;
    const bool essential = b == 0 || b >= 32;
    if (essential && !allowMissing) {
      missing.push_back("\"" + channel + "\"" + (map.isMapped(b) ? " for " + bufferLabel(b) : ""));
      continue;
    }
    if (warned.test(static_cast<std::size_t>(b))) continue;
    warned.set(static_cast<std::size_t>(b));
    const std::string label =
        map.isMapped(b) ? "\"" + channel + "\" for " + bufferLabel(b) : bufferLabel(b);
    std::fprintf(stderr, "qxhost: warning: %s has no channel %s%s; it reads 0.0\n", name.c_str(),
                 label.c_str(), essential ? "" : ", which the filter asks for");
  }
  if (!missing.empty()) {
    throw Error(name + ": no channel " + joined(missing) + "; the file has " +
                joined(image.fileChannels) +
                " (map them with --ch or --ch-map, or give --allow-missing)");
  }
  if (!verbose) return;
  for (int b = 0; b < kBufferSlots; ++b) {
    const ExrBufferSource &source = image.sources[static_cast<std::size_t>(b)];
    if (source.constant) {
      std::fprintf(stderr, "qxhost: %s: %s is the constant %g\n", name.c_str(),
                   bufferLabel(b).c_str(), static_cast<double>(map.source(b).constant));
    } else if (source.part >= 0) {
      std::fprintf(stderr, "qxhost: %s: %s reads channel \"%s\" of part %d\n", name.c_str(),
                   bufferLabel(b).c_str(), source.channel.c_str(), source.part);
    }
  }
}

void unpremultiply(Frame &frame) {
  const float *alpha = frame.plane(35);
  if (alpha == nullptr) return;
  for (int c = 32; c < 35; ++c) {
    if (!frame.has(c)) continue;
    float *plane = frame.mutablePlane(c);
    for (std::size_t i = 0; i < frame.pixelCount(); ++i) {
      if (alpha[i] != 0.0f) plane[i] /= alpha[i];
    }
  }
}

void premultiply(const Frame &in, Frame &out, bool straightOut) {
  const float *alpha = in.plane(35);
  const std::size_t count = out.pixelCount();
  float *planes[4] = {out.mutablePlane(32), out.mutablePlane(33), out.mutablePlane(34),
                      out.mutablePlane(35)};
  for (std::size_t i = 0; i < count; ++i) {
    if (alpha == nullptr || alpha[i] == 0.0f) {
      for (int c = 0; c < 4; ++c) {
        const float *source = in.plane(32 + c);
        planes[c][i] = source != nullptr ? source[i] : 0.0f;
      }
    } else if (!straightOut) {
      for (int c = 0; c < 3; ++c) planes[c][i] *= planes[3][i];
    }
  }
}

} // namespace qx::cli
