// Where a render's colour goes.
#include "frames/frame_output.h"

#include <algorithm>

#include "base/error.h"
#if QX_WITH_EXR
#include "frames/exr_output.h"
#endif

namespace qx {

void checkColourChannels(const FrameReadOptions &frame, const FrameOutputOptions &output) {
  // An EXR output writes each colour buffer back into the channel it was
  // read from: two in one channel would lose one's filtered colour.
  const std::string collision = frame.map.colourCollision();
  if (!output.png && !output.planesOut && !output.rgbaOnly && !collision.empty()) {
    throw Error("render: " + collision +
                ", and one filtered colour would be lost (map each colour buffer to a channel "
                "of its own, or give --keep rgba)");
  }
}

std::vector<NamedPath> outputFiles(const FrameOutputOptions &output, const std::string &out) {
  if (output.planesOut) return planeFiles(out, "the output's plane", HOST_BUF_RED, HOST_BUF_ALPHA);
  return {{"the output", out}};
}

void noteSplitLinks(const FrameOutputOptions &output, const std::string &out) {
  if (output.verbose) noteSplitLinks(outputFiles(output, out));
}

void writeColour(const std::string &path, const FrameOutputOptions &output, const Frame &colour) {
  if (output.png) {
    writePng(path, colour, output.transfer);
  } else if (output.planesOut) {
    colour.writePlanes(path);
  } else { // no EXR header to carry through
    colour.writeExr(path);
  }
}

#if QX_WITH_EXR
namespace {

// An EXR output, written as the strips come.
class ExrSink : public FrameSink {
public:
  ExrSink(const std::string &path, const ExrInput &input, const ExrWriteOptions &options)
      : output_(path, input, options) {}
  void write(const ExrStrip &strip, const Frame &colour) override { output_.write(strip, colour); }
  void commit() override { output_.commit(); }

private:
  ExrOutput output_;
};

// A PNG or a folder of planes: the colour gathered whole, then written.
class WholeColourSink : public FrameSink {
public:
  WholeColourSink(const std::string &path, const FrameOutputOptions &output, const ExrInput &input)
      : path_(path), output_(output), colour_(input.width(), input.height()),
        windows_(input.windows()) {}
  void write(const ExrStrip &strip, const Frame &colour) override {
    const std::size_t offset =
        static_cast<std::size_t>(strip.firstRow) * static_cast<std::size_t>(colour_.width());
    for (int c = HOST_BUF_RED; c <= HOST_BUF_ALPHA; ++c) {
      const float *rows = colour.plane(c);
      if (rows != nullptr) {
        std::copy(rows, rows + colour.pixelCount(), colour_.mutablePlane(c) + offset);
      }
    }
  }
  // A PNG shows the display window, the data window in place, unless it is
  // to hold the data window alone.
  void commit() override {
    if (output_.png && output_.pngDisplayWindow) {
      writeColour(path_, output_, inDisplayWindow(colour_, windows_));
    } else {
      writeColour(path_, output_, colour_);
    }
  }

private:
  std::string path_;
  const FrameOutputOptions &output_;
  Frame colour_;
  FrameWindows windows_;
};

ExrWriteOptions exrWriteOptionsFor(const FrameOutputOptions &output) {
  ExrWriteOptions write;
  write.rgbaOnly = output.rgbaOnly;
  write.zipLevel = output.zipLevel;
  write.verbose = output.verbose;
  write.type = output.half         ? ExrPixelChoice::Half
               : output.forceFloat ? ExrPixelChoice::Float
                                   : ExrPixelChoice::Input;
  write.attributes = output.attributes;
  return write;
}

} // namespace

bool copiesChunks(const FrameOutputOptions &output) {
  return !output.png && !output.planesOut && exrWriteOptionsFor(output).layoutChange().empty();
}

std::unique_ptr<FrameSink> makeFrameSink(const std::string &path, const ExrInput &input,
                                         const FrameOutputOptions &output) {
  noteSplitLinks(output, path);
  if (output.png || output.planesOut) {
    return std::make_unique<WholeColourSink>(path, output, input);
  }
  return std::make_unique<ExrSink>(path, input, exrWriteOptionsFor(output));
}
#endif

} // namespace qx
