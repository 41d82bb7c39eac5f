// Which file channel feeds each host buffer: the names of the Frames table by
// default, renamed or replaced by a constant through `--ch` and `--ch-map`.
#pragma once

#include <array>
#include <string>

#include "frames/frame.h"

namespace qx {

// Where one host buffer's values come from.
struct ChannelSource {
  enum class Kind { Channel, Constant };
  Kind kind = Kind::Channel;
  std::string channel; // the file's channel name, for Kind::Channel
  float constant = 0.0f;
};

class ChannelMap {
public:
  // Every buffer that has a channel name in the Frames table reads it.
  ChannelMap();

  // The host buffer a name in a mapping stands for: a channel name of the
  // Frames table ("SpecialBuffer", "Shadow", "R") or a buffer number. -1 for
  // anything else.
  static int bufferNamed(const std::string &name);

  // Adds "BUFFER=CHANNEL,BUFFER=CHANNEL,..." as given to --ch. A value that
  // reads whole as a number is a constant ("Shadow=1.0"). Throws Error naming
  // `where` and the bad item.
  void addText(const std::string &text, const std::string &where);
  // Adds a JSON object {"BUFFER": "CHANNEL" or number, ...} from a file.
  // Throws Error naming the file and the bad key.
  void addJsonFile(const std::string &path);

  // The source of a buffer; for a buffer of no name and no mapping, a channel
  // of empty name (never in a file).
  const ChannelSource &source(int buffer) const {
    return sources_[static_cast<std::size_t>(buffer)];
  }
  bool isMapped(int buffer) const { return mapped_[static_cast<std::size_t>(buffer)]; }

  // When two of the colour buffers (32 to 35), each written back into the
  // channel it is read from, would land in one channel (--ch R=Y,G=Y, or
  // R=G): a text naming both and the channel. Empty when each has its own.
  std::string colourCollision() const;

private:
  void set(int buffer, ChannelSource source);

  std::array<ChannelSource, kBufferSlots> sources_;
  std::array<bool, kBufferSlots> mapped_{};
};

} // namespace qx
