// Frame sequences in one process: file-name patterns, frame ranges split
// into tasks, and the pipeline that reads the next frame while this one is
// filtered and the last one is written, with its progress.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frames/exr_input.h"
#include "frames/frame_files.h"
#include "frames/frame_filter.h"
#include "frames/frame_input.h"
#include "frames/frame_output.h"

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
  // Check each frame, as it comes and before it is read, against the files
  // it is written over: its output may be neither its own input nor one of
  // `inputs` (the scene, the module, the channel map). A run may hold more
  // frames than are worth looking at up front.
  bool checkFrames = false;
  std::vector<NamedPath> inputs;
};

struct SequenceResult {
  int rendered = 0;
  int failed = 0;
  int notRun = 0; // after a stop on error
  double seconds = 0.0;
  std::string firstError; // of the first frame that failed
};

// What a run says on its report as it goes: errors, the bar or the lines
// (see ProgressStyle), and the summary. Its calls may come from any thread.
class SequenceProgress {
public:
  // A null `report` says nothing.
  SequenceProgress(std::FILE *report, ProgressStyle style, bool single, int total);
  SequenceProgress(const SequenceProgress &) = delete;
  SequenceProgress &operator=(const SequenceProgress &) = delete;

  // A line "qxhost: MESSAGE", over the bar if one is shown.
  void say(const std::string &message);
  // The bar of a single frame of `width` x `height` pixels, `rowsDone` rows
  // written; shown once the run has taken a second.
  void showRows(int width, int height, int rowsDone);
  // The bar of a sequence: `rendered` and `failed` frames done so far.
  void showFrames(int rendered, int failed);
  // A finished frame's line, in the lines style: `done` frames are finished
  // with it.
  void frameDone(const SequenceFrame &frame, bool failed, double seconds, int done);
  // The single frame's bar, ended: "100%", or "stopped". Nothing when no bar
  // was shown.
  void endRows(bool stopped);
  // The sequence's summary line.
  void summary(const SequenceResult &result);
  // Seconds since the run began.
  double seconds() const;

private:
  std::FILE *report_;
  bool bar_ = false;
  bool lines_ = false;
  bool single_ = false;
  int total_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  bool shown_ = false;    // a bar is on the report's last line
  std::string shownSize_; // of the single frame, once its bar is shown
};

// A run of frames through the filter, read from EXR files and written as
// `output` asks, a strip at a time: the next strip (of this frame or the
// next) is read while this one is filtered and the last one written, and
// only a few strips are held at once (kStripsInFlight, kColoursInFlight).
// Four threads carry the strips: reading (which opens each frame), filtering
// (the calling one), writing, and committing each frame's file. A frame
// whose stage throws Error is named on the report and skipped (or ends the
// run with stopOnError); any other exception ends the run and is thrown
// again by run() once the strips in flight are done.
class FrameSequence {
public:
  // Keeps references to `filter`, `frame` and `output`, which must outlive
  // it. Sets the threads OpenEXR decodes and encodes on to the filter's.
  FrameSequence(FrameFilter &filter, const FrameReadOptions &frame,
                const FrameOutputOptions &output, SequenceOptions options);
  ~FrameSequence();
  FrameSequence(const FrameSequence &) = delete;
  FrameSequence &operator=(const FrameSequence &) = delete;

  // Runs every frame, once.
  SequenceResult run();

private:
  struct Job;
  struct Piece;
  struct Flow;

  // The stages, each on its own thread: every frame opened and read strip by
  // strip; each strip filtered; each strip written to its frame's output;
  // each finished frame's file committed and counted.
  void read();
  void filter();
  void write();
  void commit();

  // Opens a frame's input, after the check of its output (checkFrames).
  std::unique_ptr<ExrInput> open(const SequenceFrame &frame) const;
  // Before a frame's first strip is filtered: checks what its input holds.
  void begin(const ExrInput &input);
  // A frame's stage threw Error: it fails, and under stopOnError so do the
  // frames after it.
  void fail(Job &job, const std::string &message);
  // Anything else: the run ends, and the exception is kept for run().
  void keepFatal();
  // Whether a frame comes after a stop.
  bool abandoned(const Job &job) const;
  // A piece's strip and colour, back for the next strips.
  void recycle(Piece &piece);

  FrameFilter &filter_;
  const FrameReadOptions &frame_;
  const FrameOutputOptions &output_;
  SequenceOptions options_;
  ExrReadOptions read_;
  SequenceProgress progress_;
  std::unique_ptr<Flow> flow_;
};

} // namespace qx
