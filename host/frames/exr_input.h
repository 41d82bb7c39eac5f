// OpenEXR files as compositors keep them, read: the buffers the filter
// reads, and everything else of the chosen part for carrying through
// untouched (channels in their own pixel type, every header attribute, the
// data and display windows). A frame is read strip by strip, a block of rows
// at a time, so that it never has to be held whole; exr_output.h writes it
// back the same way.
#pragma once

#include <ImfChannelList.h>
#include <ImfForward.h>
#include <ImfHeader.h>
#include <ImfPixelType.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/memory_plan.h"
#include "frames/channel_map.h"
#include "frames/exr_chunks.h"
#include "frames/frame.h"
#include "scene/cryptomatte.h"

namespace qx {

// A channel of the part that is carried through as the file's own samples.
struct ExrRawChannel {
  std::string name;
  Imf::Channel channel;
};

// Where one host buffer was read from.
struct ExrBufferSource {
  std::string channel;              // empty: not read from the file
  Imf::PixelType type = Imf::FLOAT; // the channel's type in the file
  int part = -1;                    // the part it came from
  bool constant = false;            // filled from a constant of the mapping
  int raw = -1;                     // also carried raw: its index in passThrough (a uint channel)
};

// What a run holds of each frame it reads, for the memory plan: besides
// the reader's own buffers, the frame in strips or whole, and the output's.
struct ExrMemoryUse {
  std::uint64_t maxBytes = kDefaultMaxMemory;
  // Read in strips, kStripsInFlight of them and kColoursInFlight colours
  // (a render); else whole, in one strip, with its colour.
  bool strips = false;
  // Further copies of the whole frame's buffers the run keeps (edit shows
  // one beside the filter's).
  int wholeCopies = 0;
  // What the output holds: nothing, an EXR file written strip by strip (the
  // library's line buffers and the converted samples), or the colour
  // gathered whole for a PNG or .npy planes.
  enum class Output { None, Exr, WholeColour } output = Output::None;
  // The outputs open at once: a sequence finishes one frame's while the
  // next one's begins.
  int outputs = 2;
  // Every half channel written as float (--float).
  bool floatOutput = false;
  // A PNG of the display window: the colour placed in a picture that size.
  bool displayPicture = false;
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
  // Channels read as float planes besides the buffers (the rank channels of
  // a Cryptomatte layer), into ExrStrip::extra in this order. Each is looked
  // for as a buffer's channel is, must be full resolution, and is carried
  // through as the file's own samples.
  std::vector<std::string> extraChannels;
  // The memory bound and what the run holds of the frame. The rows of a
  // strip and the threads decoding the file are chosen to fit it, and a
  // frame that fits in no way is refused before its pixels are read.
  ExrMemoryUse memory;
  // The output keeps the part's layout and copies the chunks the filter
  // leaves alone (exr_copy.h): when the part allows it (keepsChunks()),
  // each strip keeps its chunks as read, and the pass-through channels are
  // not unpacked at all.
  bool keepChunks = false;
};

// Rows of a frame as read: `rows` rows from `firstRow` (0 is the data
// window's top). The buffers are a Frame of the window's width and `rows`
// rows; each pass-through channel's samples of those rows follow, in the
// order of ExrInput::passThrough(). A strip is reused from one read to the
// next, so its memory is taken once.
struct ExrStrip {
  int firstRow = 0;
  int rows = 0;
  Frame frame;
  std::vector<std::vector<char>> raw;
  // The extra channels' planes, of the frame's size, as floats.
  std::vector<std::vector<float>> extra;
  // The carried part's chunks as read, when the input keeps them
  // (ExrInput::keepsChunks()); strip.raw then holds only the channels that
  // are buffers too.
  std::vector<KeptChunk> chunks;
};

// One part of a file (or buffers gathered from several parts), open for
// reading strip by strip. Only one thread reads from it at a time.
class ExrInput {
public:
  // Opens the file and works out where each buffer comes from, and the
  // memory plan. Throws Error naming the file when it cannot be read, its
  // window is over `options.maxPixels`, reading it would take more than
  // `options.memory.maxBytes`, or a buffer's channel is subsampled or the
  // part is deep.
  ExrInput(const std::string &path, const ExrReadOptions &options);
  // The same for a file in a stream; `name` stands for it in messages.
  ExrInput(Imf::IStream &stream, const std::string &name, const ExrReadOptions &options);
  ~ExrInput();
  ExrInput(const ExrInput &) = delete;
  ExrInput &operator=(const ExrInput &) = delete;

  const std::string &name() const { return name_; }
  // The carried part's header, every attribute of it.
  const Imf::Header &header() const { return header_; }
  const Imath::Box2i &dataWindow() const { return window_; }
  // The data window inside the part's display window.
  FrameWindows windows() const;
  int width() const { return window_.max.x - window_.min.x + 1; }
  int height() const { return window_.max.y - window_.min.y + 1; }
  // The part whose header and channels are carried through.
  int part() const { return part_; }
  const std::array<ExrBufferSource, kBufferSlots> &sources() const { return sources_; }
  // Whether a buffer is read from the file or filled with a constant.
  bool holds(int buffer) const;
  const std::vector<ExrRawChannel> &passThrough() const { return passThrough_; }
  // Every channel of the file, as "NAME" (one part) or "NAME (part P)".
  const std::vector<std::string> &fileChannels() const { return fileChannels_; }
  // What each part says of its Cryptomatte layers: its string attributes
  // and channels.
  const std::vector<CryptomattePartInfo> &cryptomatteParts() const { return cryptomatteParts_; }
  // The rows every strip but the last must be a multiple of, counted from
  // the window's top: whole chunks of the file, whole rows of subsampled
  // channels.
  int rowAlignment() const { return alignment_; }
  // The rows of a strip that fits the memory plan (a multiple of
  // rowAlignment()), and the threads that decode and encode the frame.
  int stripRows() const { return plan_.rows; }
  int threads() const { return plan_.threads; }
  // What the plan takes, in bytes.
  std::uint64_t plannedBytes() const { return plan_.bytes; }
  // Whether each strip keeps the carried part's chunks as read, for an
  // output that copies them: asked for (ExrReadOptions::keepChunks), and a
  // single flat part of scan lines stored plain, ZIPS or ZIP from the top
  // down. Else why not, for --verbose (empty when it was not asked for).
  bool keepsChunks() const { return keepChunks_; }
  const std::string &chunkCopyRefusal() const { return keepRefusal_; }

  // Reads `rows` rows from `firstRow` into `strip`. Throws Error naming the
  // file.
  void read(int firstRow, int rows, ExrStrip &strip);
  // After the last read: lets go of the file and its decoding buffers,
  // keeping what the output needs (the header, the sources, the channels).
  void finishReading();

private:
  struct ChannelRead;
  struct PartRead;
  void open(const ExrReadOptions &options);
  void planReading(const ExrReadOptions &options, int main);
  void readPart(PartRead &part, int y0, int y1, ExrStrip &strip);

  std::string name_;
  std::string path_; // of a file opened by name; empty for a stream
  std::unique_ptr<Imf::MultiPartInputFile> file_;
  std::unique_ptr<ChunkFile> chunkFile_; // the kept chunks fetched straight
  // Opens the file again with that many threads.
  std::function<std::unique_ptr<Imf::MultiPartInputFile>(int threads)> reopen_;
  MemoryPlan plan_;
  Imf::Header header_;
  Imath::Box2i window_;
  int part_ = 0;
  int alignment_ = 1;
  std::array<ExrBufferSource, kBufferSlots> sources_;
  std::array<float, kBufferSlots> constants_{};
  std::vector<ExrRawChannel> passThrough_;
  std::vector<bool> passThroughRead_; // each pass-through channel is a buffer's too
  bool keepChunks_ = false;
  std::string keepRefusal_;
  std::vector<std::string> fileChannels_;
  std::vector<CryptomattePartInfo> cryptomatteParts_;
  std::vector<ExrBufferSource> extraSources_;
  std::vector<PartRead> parts_;
};

// The Cryptomatte layers of a file: read from its headers alone, the
// sidecar manifests from beside it. Warnings (a manifest id that is not its
// name's hash) go to `warn`. Throws Error naming the file.
std::vector<CryptomatteLayer>
readCryptomatteLayers(const std::string &path,
                      const std::function<void(const std::string &)> &warn);
// The same from an open input's parts.
std::vector<CryptomatteLayer>
cryptomatteLayersOf(const ExrInput &input, const std::function<void(const std::string &)> &warn);

} // namespace qx
