// How a command takes a frame in, for render and edit alike: the options that
// say where each host buffer comes from, the frame read by them, the check of
// what it gave, and the colour's alpha around the filter.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "exr_io.h"
#include "frame.h"

namespace qx::cli {

// The frame's options, as given.
struct FrameInputArgs {
  std::string frame;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  std::vector<std::string> ch;
  std::string chMap;
  bool allowMissing = false;
  std::string part;
  bool verbose = false;
  std::string alpha = "straight";
};

// Adds --ch, --ch-map, --allow-missing, --part, --verbose, --alpha and
// --max-pixels (--frame is each command's own, with its own help).
void addFrameInputOptions(CLI::App &command, FrameInputArgs &args);

// The channel map, part and size limit the options give; `command` names the
// command in messages about a bad --ch. Throws Error for a bad mapping.
ExrReadOptions frameReadOptions(const FrameInputArgs &args, const std::string &command);

// The buffers to read for a filter whose requirement mask is `mask`: the
// mask's, the special buffer and the colour.
std::bitset<kBufferSlots> buffersFor(unsigned int mask);

// Reads the buffers `read` asks for from an EXR file, or every plane of a
// folder given with a closing slash (see namesPlaneFolder). Throws Error
// naming the file.
ExrImage readFrameInput(const std::string &path, const ExrReadOptions &read);

// Checks what the frame gave against the buffers `wanted`. A missing colour
// or special-buffer channel is an Error naming the file's channels (unless
// `allowMissing`); any other missing buffer is named on stderr once for each
// bit not yet in `warned`, which then gets it. With `verbose`, says which
// part and channel each buffer came from.
void checkFrameChannels(const ExrImage &image, const std::string &name,
                        const std::bitset<kBufferSlots> &wanted, const ChannelMap &map,
                        bool allowMissing, bool verbose, std::bitset<kBufferSlots> &warned);

// Straight colour for the filter: R, G and B divided by A where A is not 0.
void unpremultiply(Frame &frame);

// Back to premultiplied after the filter: the filtered colour times its
// alpha, and a pixel whose input A was 0 exactly as it came in. With
// `straightOut` (a PNG keeps straight colour) only the A = 0 pixels are put
// back.
void premultiply(const Frame &in, Frame &out, bool straightOut);

} // namespace qx::cli
