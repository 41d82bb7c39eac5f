// How a frame is taken in, for a render, an edit's render view and a census
// alike: the options that say where each buffer comes from and how much a
// frame may take, what a frame's input holds and the check of it against
// the buffers the filter wants, and frames read whole (a folder of .npy
// planes, or an OpenEXR file in the build with OpenEXR).
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/memory_plan.h"
#include "frames/channel_map.h"
#include "frames/frame.h"
#include "scene/cryptomatte.h"

namespace qx {

class ExrInput;
struct ExrReadOptions;

// The frame options of a command: the one record every command that reads
// frames fills (tools/qxhost registers them), and the one the readers take.
struct FrameReadOptions {
  // As given.
  std::vector<std::string> ch; // BUFFER=CHANNEL,... over the map file's
  std::string chMap;           // a JSON channel map
  // A part of a multi-part file, by name or number; empty: every part.
  std::string part;
  // "straight", or "premultiplied": the colour divided by A for the filter
  // and multiplied after.
  std::string alpha = "straight";
  std::uint64_t maxPixels = kDefaultMaxPixels;
  std::string maxMemory = "2GiB"; // as given; checkLimits() reads it
  // A missing colour or special-buffer channel reads 0.0, with a warning.
  bool allowMissing = false;
  // Say where each buffer comes from, and what the filter wrote.
  bool verbose = false;
  // The Cryptomatte layer whose ranks give each pixel its ids, or empty for
  // the special-buffer channel.
  std::string cryptomatte;
  // The way out named when a colour or special-buffer channel is missing:
  // whoever offers the options says which of them the user has.
  std::string missingHint = "give --allow-missing";

  // Worked out from the above: --max-memory in bytes (checkLimits), and the
  // channel map (mapChannels).
  std::uint64_t maxBytes = kDefaultMaxMemory;
  ChannelMap map;

  bool premultiplied() const { return alpha == "premultiplied"; }
  // Checks --max-pixels and reads --max-memory. Throws Error naming
  // `command` and the option.
  void checkLimits(const std::string &command);
  // Reads the map file and the --ch texts into `map`. Throws Error for a
  // bad mapping, naming `command`, and for a mapping of the special buffer
  // beside a Cryptomatte layer.
  void mapChannels(const std::string &command);
};

// The buffers to read for a filter whose requirement mask is `mask`: the
// mask's, the special buffer and the colour.
std::bitset<kBufferSlots> buffersFor(unsigned int mask);

// What a frame's input holds, for the checks before it is filtered.
struct InputHoldings {
  // The buffers read from the file or filled with a constant.
  std::bitset<kBufferSlots> held;
  // Every channel of the file, for the message naming what is missing.
  std::vector<std::string> fileChannels;
  // Where each buffer comes from, said with --verbose.
  std::vector<std::string> sources;
};

// Checks what a frame's input holds against the buffers `wanted`, before
// its first row is filtered. A missing colour or special-buffer channel is
// an Error naming the file's channels (unless allowMissing); any other
// missing buffer is named on stderr once for each bit not yet in `warned`,
// which then gets it. With verbose, says where each buffer comes from.
void checkFrameInput(const FrameReadOptions &frame, const std::bitset<kBufferSlots> &wanted,
                     const InputHoldings &input, const std::string &name,
                     std::bitset<kBufferSlots> &warned);

// A frame read whole, as the filter takes it, and what it holds.
struct InputFrame {
  Frame frame;
  InputHoldings holdings;
  FrameWindows windows;
  // The extra channels read (ExrReadOptions::extraChannels), in order.
  std::vector<std::vector<float>> extra;
};

// Reads a folder of .npy planes: each buffer from the plane its channel in
// `map` names ("<channel>.npy"), or filled with the map's constant. A plane
// of more than `maxPixels` pixels is refused before it is read, and so is a
// frame that would take more than `maxBytes` held whole with `copies` more
// of its planes, its colour and the colour's written form (worked out from
// the planes' headers first). Throws Error naming the folder or the plane.
InputFrame readPlaneFolder(const std::string &folder, const ChannelMap &map,
                           std::uint64_t maxPixels, std::uint64_t maxBytes, int copies);

#if QX_WITH_EXR
// The EXR reader's options for a frame: the map, the part, the bounds, and
// the buffers to read. What the run holds of the frame (the memory use, the
// pass-through, the extra channels) is the caller's to add.
ExrReadOptions exrReadOptionsFor(const FrameReadOptions &frame,
                                 const std::bitset<kBufferSlots> &buffers);
// What an EXR input holds, with the sources verbose names.
InputHoldings holdingsOf(const ExrInput &input, const ChannelMap &map);
// Reads a folder of .npy planes (a closing slash, see namesPlaneFolder) or
// an EXR file by `read`, whole, within read.memory (whose wholeCopies
// counts for the planes too). Throws Error naming the file.
InputFrame readInputFrame(const std::string &path, const ExrReadOptions &read);
// A frame for a render view, read whole as a render reads it but with every
// buffer that has a channel (an edit can come to switch on a layer that
// reads any of them), held whole and once more as the view shows it. Under
// the options' Cryptomatte layer, the layer's ranks are read instead of the
// special buffer, and `layer` is set to it. Throws Error naming the file.
InputFrame readViewFrame(const std::string &path, const FrameReadOptions &frame,
                         std::optional<CryptomatteLayer> &layer);
#endif

} // namespace qx
