// Where a render's colour goes: a PNG, a folder of .npy planes, or (in the
// build with OpenEXR) an EXR file that carries every other channel of its
// input through, written strip by strip as the strips come.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frames/frame.h"
#include "frames/frame_files.h"
#include "frames/frame_input.h"
#include "frames/image_io.h"

namespace qx {

class ExrInput;
struct ExrStrip;

// How a render writes each frame's colour.
struct FrameOutputOptions {
  // The format, from the output's name: a PNG, a folder of planes, else EXR.
  bool png = false;
  bool planesOut = false;
  PngTransfer transfer = PngTransfer::Linear;
  // A PNG of the display window (the data window in place, the rest
  // transparent), or of the data window alone.
  bool pngDisplayWindow = true;
  // An EXR output: only R, G, B and A, or every channel carried through; each
  // half and float channel as half, as float, or in its input type; the
  // deflate level of ZIP and ZIPS (0: the library's own); string attributes
  // added to the header.
  bool rgbaOnly = false;
  bool half = false;
  bool forceFloat = false;
  int zipLevel = 0;
  std::vector<std::pair<std::string, std::string>> attributes;
  // Say which output has other names (hard links), and which channels keep
  // float under half.
  bool verbose = false;
};

// Throws Error when an EXR output carrying every channel would write two
// colour buffers into one channel (the frame's map), losing one's colour.
void checkColourChannels(const FrameReadOptions &frame, const FrameOutputOptions &output);

// What writing `out` writes, for refuseOutputOverInput: the colour planes of
// a folder, or the file.
std::vector<NamedPath> outputFiles(const FrameOutputOptions &output, const std::string &out);
// With verbose, says of `out` what noteSplitLinks says.
void noteSplitLinks(const FrameOutputOptions &output, const std::string &out);

// Writes a whole frame's colour to `path` as `output` asks: a PNG, a folder
// of planes, or an EXR file of float R, G, B and A.
void writeColour(const std::string &path, const FrameOutputOptions &output, const Frame &colour);

#if QX_WITH_EXR
// Where a rendered frame goes, strip by strip from the top. Destroyed
// without commit(), it leaves no file behind.
class FrameSink {
public:
  virtual ~FrameSink() = default;
  // The strip and its colour (buffers 32 to 35, of the strip's size).
  virtual void write(const ExrStrip &strip, const Frame &colour) = 0;
  virtual void commit() = 0;
};

// Whether `output` is an EXR file in the input part's own layout, whose
// writer copies the chunks the filter leaves alone (the reader then keeps
// them).
bool copiesChunks(const FrameOutputOptions &output);

// The output of `input` at `path` as `output` asks: an EXR file written as
// the strips come, or the colour gathered whole for a PNG or planes. Throws
// Error naming the file.
std::unique_ptr<FrameSink> makeFrameSink(const std::string &path, const ExrInput &input,
                                         const FrameOutputOptions &output);
#endif

} // namespace qx
