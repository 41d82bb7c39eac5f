// OpenEXR files as compositors keep them: the buffers the filter reads, and
// everything else of the chosen part carried through untouched (channels in
// their own pixel type, every header attribute, the data and display
// windows).
#pragma once

#include <ImfChannelList.h>
#include <ImfHeader.h>
#include <ImfPixelType.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "channel_map.h"
#include "frame.h"

namespace qx {

// A channel the filter does not read, held as the file's own bytes.
struct ExrRawChannel {
  std::string name;
  Imf::Channel channel;
  std::vector<char> bytes; // (width / xSampling) x (height / ySampling) samples
};

// Where one host buffer was read from.
struct ExrBufferSource {
  std::string channel;              // empty: not read from the file
  Imf::PixelType type = Imf::FLOAT; // the channel's type in the file
  int part = -1;                    // the part it came from
  bool constant = false;            // filled from a constant of the mapping
  bool rawCopy = false;             // also held raw (a uint channel)
};

// One part of a file as read: the buffers as a Frame (pixel (0, 0) is the
// data window's corner), the part's header and its other channels.
struct ExrImage {
  Frame frame;
  Imf::Header header; // the part's header, every attribute of it
  Imath::Box2i dataWindow;
  int part = 0; // the part whose header and channels are carried through
  std::array<ExrBufferSource, kBufferSlots> sources;
  std::vector<ExrRawChannel> passThrough;
  // Every channel of the file, as "NAME" (one part) or "NAME (part P)".
  std::vector<std::string> fileChannels;
};

struct ExrReadOptions {
  ChannelMap map;
  // The buffers to read; the others are not read at all.
  std::bitset<kBufferSlots> buffers;
  // Read every other channel of the part too, for writing it back.
  bool passThrough = true;
  // A part by name or number; empty: each buffer's channel is looked for in
  // every part, and the part that holds "R" (else the first one that holds
  // anything) is the one carried through.
  std::string part;
  // The largest data window read, in pixels; a larger one is refused before
  // anything is allocated.
  std::uint64_t maxPixels = kDefaultMaxPixels;
};

// Reads the buffers `options` asks for, half, float or uint, and the rest of
// the part. Throws Error naming the file when it cannot be read, or when a
// buffer's channel is subsampled or the part is deep.
ExrImage readExrImage(const std::string &path, const ExrReadOptions &options);

enum class ExrPixelChoice { Input, Half, Float };

struct ExrWriteOptions {
  // Each channel in its input type, or every half and float channel forced
  // to one (uint channels stay uint).
  ExrPixelChoice type = ExrPixelChoice::Input;
  // Only "R", "G", "B", "A": no pass-through channel, no other buffer.
  bool rgbaOnly = false;
  // String attributes added to the header (provenance).
  std::vector<std::pair<std::string, std::string>> attributes;
};

// Writes `image` with its colour replaced by `colour` (buffers 32 to 35, of
// the image's size): the colour goes into the channels it was read from
// ("R", "G", "B", "A" for a colour the file did not hold), the other buffers
// read from the part back into their channels, and every pass-through
// channel as it was, in the part's header with its windows, compression and
// attributes; a tiled part is written tiled. The file is written beside the
// target and renamed over it, so a failed write leaves no half file. Throws
// Error naming the file.
void writeExrImage(const std::string &path, const ExrImage &image, const Frame &colour,
                   const ExrWriteOptions &options);

} // namespace qx
