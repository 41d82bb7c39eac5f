// Writing a frame whose part keeps its layout, chunk by chunk through the
// library's core: a chunk whose samples come out as they went in is written
// as the bytes it was read as, and only a chunk the filter changed is packed
// again. Deflate is most of a render's work, and most frames have rows no
// stack touches.
#pragma once

#include <ImfHeader.h>
#include <ImfIO.h>

#include <memory>
#include <string>
#include <vector>

#include "frames/exr_input.h"
#include "frames/frame.h"

namespace qx {

// A channel the filter's colour goes into: its name and which of R, G, B
// and A (0 to 3) it takes.
struct CopiedColour {
  std::string name;
  int colour = 0;
};

class ExrChunkCopy {
public:
  // `header`: the part as written, its channels those of the part read
  // (a scan-line part stored plain, ZIPS or ZIP, from the top down);
  // `stream`: where the file goes; `threads`: the most chunks packed at
  // once. Throws std::runtime_error when the library refuses the header.
  ExrChunkCopy(Imf::OStream &stream, const Imf::Header &header,
               const std::vector<CopiedColour> &colours, int threads);
  ~ExrChunkCopy();
  ExrChunkCopy(const ExrChunkCopy &) = delete;
  ExrChunkCopy &operator=(const ExrChunkCopy &) = delete;

  // Writes the strip's kept chunks (ExrStrip::chunks) with its colour
  // (buffers 32 to 35, of the strip's size). A chunk is unchanged when every
  // colour sample, in the channel's type as it would be written, has the
  // bits the chunk holds; the other channels always go out as read.
  void write(const ExrStrip &strip, const Frame &colour);
  // Writes the chunks' offsets; the file is then whole.
  void finish();

  int copied() const { return copied_; }
  int encoded() const { return encoded_; }

private:
  struct Core;
  struct Packed;
  void pack(const KeptChunk &chunk, const ExrStrip &strip, const Frame &colour, Packed &out,
            std::vector<char> &scratch) const;

  std::unique_ptr<Core> core_;
  std::size_t width_;
  int minY_;
  Imf::Compression compression_;
  int zipLevel_;
  int threads_;
  // Where each colour channel's bytes start in a row of every channel, and
  // its type.
  struct ColourBytes {
    std::size_t offset;
    Imf::PixelType type;
    int colour;
  };
  std::vector<ColourBytes> colours_;
  std::vector<Packed> packed_;             // one a chunk of the strip
  std::vector<std::vector<char>> scratch_; // one a task
  int copied_ = 0, encoded_ = 0;
};

} // namespace qx
