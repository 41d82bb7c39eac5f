// Frame sequences in one process: file-name patterns, frame ranges split
// into tasks, and the pipeline that reads the next frame while this one is
// filtered and the last one is written.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frames/exr_input.h"

namespace qx {

// The widest frame number a pattern pads to, in digits.
constexpr int kMaxFrameDigits = 32;

// Whether a file name holds a frame-number pattern: a run of '#' (as many
// digits as there are '#') or a printf-style "%d" / "%0Nd".
bool isFramePattern(const std::string &pattern);
// Throws Error, naming `option` and the pattern, for a name without a
// pattern, with more than one, or padded wider than kMaxFrameDigits.
void checkFramePattern(const std::string &pattern, const std::string &option);
// The file name for a frame: the pattern with its number in place, zero-padded
// to the pattern's width (a negative frame gets a leading '-'). Distinct
// frames get distinct names: the number is never cut. Throws Error as
// checkFramePattern does.
std::string expandFramePattern(const std::string &pattern, int frame);
// The frame whose name under `pattern` is `name` (as expandFramePattern
// writes it, padding and all), or nothing when no frame's is.
std::optional<int> frameOfName(const std::string &pattern, const std::string &name);

// The frames "A-B", "A-BxSTEP" or "A" stand for, in order, walked without
// being listed: the frames of a run are worked out one at a time.
class FrameRange {
public:
  // Throws Error naming `option` for anything else, for B below A or a step
  // below 1.
  static FrameRange parse(const std::string &text, const std::string &option);
  // Every N-th frame of these starting at the I-th (1-based), for "I/N".
  // Throws Error naming `option` for anything else or for I outside 1..N.
  FrameRange task(const std::string &task, const std::string &option) const;

  int count() const { return count_; }
  // The frame at `index`, from 0 to count() - 1.
  int at(int index) const { return static_cast<int>(first_ + step_ * index); }
  bool contains(long long frame) const;

private:
  long long first_ = 0, step_ = 1;
  int count_ = 0;
};

// The frames of a sequence: each frame's number, input and output.
struct SequenceFrame {
  int number = 0;
  std::string in, out;
};

// Throws Error when one frame's output would be another's input (or its
// own): each output name of `frames` is read back through the input
// pattern, and a frame of the run it names is refused, before any frame is
// read.
void refuseOutputsOverInputs(const std::string &inPattern, const std::string &outPattern,
                             const FrameRange &frames);

// Where a rendered frame goes, strip by strip from the top. Destroyed
// without commit(), it leaves no file behind.
class FrameSink {
public:
  virtual ~FrameSink() = default;
  // The strip and its colour (buffers 32 to 35, of the strip's size).
  virtual void write(const ExrStrip &strip, const Frame &colour) = 0;
  virtual void commit() = 0;
};

// What a render does with each frame, strip by strip. `open` runs on a
// reading thread, `sink` and the sink's calls on a writing thread, `begin`
// and `filter` on the calling thread; each stage handles one strip at a
// time, in order. Each throws Error for a frame it cannot handle.
struct SequenceStages {
  // Before a frame is read: opens its input (and may refuse the frame).
  std::function<std::unique_ptr<ExrInput>(const SequenceFrame &frame)> open;
  // Before a frame's first strip is filtered: checks what the input holds.
  std::function<void(const ExrInput &input)> begin;
  // The strip's colour, into `colour`.
  std::function<void(const ExrInput &input, ExrStrip &strip, Frame &colour)> filter;
  // After a frame's last strip is filtered (optional).
  std::function<void(const ExrInput &input)> end;
  // The frame's output, made when its first strip is ready to be written.
  std::function<std::unique_ptr<FrameSink>(const std::string &outPath, const ExrInput &input)> sink;
};

// How a run shows its progress on `report`. A bar is one line rewritten in
// place (frames done, frames per second, time left; a single frame's rows in
// per cent); lines are one line a finished frame (its number, its output, the
// seconds from its opening to its written file, and whether it was rendered
// or failed), for a log that a farm keeps. Auto is the bar on a terminal and
// lines elsewhere. A single frame never prints lines.
enum class ProgressStyle { Auto, Bar, Lines, None };

struct SequenceOptions {
  // The frames of the run, made one at a time as the run reaches them.
  int count = 0;
  std::function<SequenceFrame(int index)> frame;
  // Stop at the first frame that fails; the frames already written stay.
  bool stopOnError = false;
  // Where errors, the progress and the summary go.
  std::FILE *report = stderr;
  ProgressStyle progress = ProgressStyle::Auto;
  // A single frame: no summary, its failure thrown as Error rather than
  // reported, and the progress line in per cent of its rows.
  bool single = false;
};

struct SequenceResult {
  int rendered = 0;
  int failed = 0;
  int notRun = 0; // after a stop on error
  double seconds = 0.0;
  std::string firstError; // of the first frame that failed
};

// Runs every frame through reading, filtering and writing, a strip at a
// time: the next strip (of this frame or the next) is read while this one
// is filtered and the last one written, and only a few strips are held at
// once. A frame whose stage throws Error is named on `report` and skipped
// (or ends the run with stopOnError); any other exception ends the run and
// is thrown again here once the strips in flight are done.
SequenceResult runSequence(const SequenceOptions &options, const SequenceStages &stages);

} // namespace qx
