// OpenEXR files as compositors keep them, written: the filter's colour into
// the channels it was read from, everything else of the part as it was read
// (exr_input.h), strip by strip.
#pragma once

#include <ImfForward.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frames/exr_input.h"
#include "frames/frame.h"

namespace qx {

class ExrChunkCopy;
class ExrTarget;

enum class ExrPixelChoice { Input, Half, Float };

struct ExrWriteOptions {
  // Each channel in its input type, or every half and float channel forced
  // to one (uint channels stay uint).
  ExrPixelChoice type = ExrPixelChoice::Input;
  // Only "R", "G", "B", "A": no pass-through channel, no other buffer.
  bool rgbaOnly = false;
  // The deflate level of ZIP and ZIPS outputs, 1 (fastest) to 9 (smallest);
  // 0: the library's own (4).
  int zipLevel = 0;
  // String attributes added to the header (provenance).
  std::vector<std::pair<std::string, std::string>> attributes;
  // Say on stderr which channels keep float under --half (the special
  // buffer's channel and every Cryptomatte rank channel hold ids, which a
  // half would change), and at the commit how many chunks were copied as
  // read, or why every chunk was packed again.
  bool verbose = false;

  // What these options change of the input part's layout, as --verbose
  // says it ("pixel types are changed", ...), or empty when every channel
  // goes out in its own type, compressed as it came: then the chunks the
  // filter leaves alone can be copied as read.
  std::string layoutChange() const;
};

// The output of one input, written strip by strip in order from the top:
// the colour goes into the channels it was read from ("R", "G", "B", "A"
// for a colour the file did not hold), the other buffers read from the file
// back into their channels, and every pass-through channel as it was, in
// the part's header with its windows, compression and attributes; a tiled
// part is written tiled. When the input keeps its chunks (keepsChunks()),
// the options must keep the part's layout (each channel in its input type,
// every channel, the library's deflate level), and the chunks the filter
// left alone are copied as read (exr_copy.h). The file is written beside
// the target and renamed over it by commit(), so a failed or abandoned
// write leaves no half file.
// Only one thread writes to it at a time.
class ExrOutput {
public:
  // Throws Error naming the file.
  ExrOutput(const std::string &path, const ExrInput &input, const ExrWriteOptions &options);
  ~ExrOutput();
  ExrOutput(const ExrOutput &) = delete;
  ExrOutput &operator=(const ExrOutput &) = delete;

  // Writes a strip and its colour (buffers 32 to 35, of the strip's size).
  // Throws Error naming the file.
  void write(const ExrStrip &strip, const Frame &colour);
  // Ends the file and puts it in the target's place. Throws Error naming the
  // file.
  void commit();

private:
  struct ChannelWrite;

  std::string path_;
  Imath::Box2i window_;
  std::unique_ptr<ExrTarget> target_;
  std::vector<ChannelWrite> channels_;
  std::unique_ptr<Imf::OutputFile> scanLines_;
  std::unique_ptr<Imf::TiledOutputFile> tiles_;
  int tileHeight_ = 0;
  std::unique_ptr<ExrChunkCopy> copy_;
  bool verbose_ = false;
  std::string notCopied_; // why the chunks are packed again
};

} // namespace qx
