// Frame sequences in one process: file-name patterns, frame ranges split
// into tasks, and the pipeline that reads the next frame while this one is
// filtered and the last one is written.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "exr_io.h"

namespace qx {

// Whether a file name holds a frame-number pattern: a run of '#' (as many
// digits as there are '#') or a printf-style "%d" / "%0Nd".
bool isFramePattern(const std::string &pattern);
// The file name for a frame: the pattern with its number in place, zero-padded
// to the pattern's width (a negative frame gets a leading '-'). Throws Error
// for a name without a pattern or with more than one.
std::string expandFramePattern(const std::string &pattern, int frame);

// The frames "A-B", "A-BxSTEP" or "A" stand for, in order. Throws Error
// naming `option` for anything else, for B below A or a step below 1.
std::vector<int> parseFrameRange(const std::string &text, const std::string &option);
// Every N-th frame starting at the I-th (1-based) of `frames`, for "I/N".
// Throws Error naming `option` for anything else or for I outside 1..N.
std::vector<int> taskFrames(const std::vector<int> &frames, const std::string &task,
                            const std::string &option);

// What a sequence does with each frame. `read` and `write` run on threads of
// their own, `filter` on the calling thread; each is called for one frame at
// a time, in frame order. Each throws Error for a frame it cannot handle.
struct SequenceStages {
  std::function<ExrImage(const std::string &inPath)> read;
  std::function<Frame(ExrImage &image)> filter;
  std::function<void(const std::string &outPath, const ExrImage &image, const Frame &colour)> write;
};

struct SequenceOptions {
  std::string inPattern, outPattern;
  std::vector<int> frames;
  // Stop at the first frame that fails; the frames already written stay.
  bool stopOnError = false;
  // Where errors, the progress line (only when it is a terminal) and the
  // summary go.
  std::FILE *report = stderr;
};

struct SequenceResult {
  int rendered = 0;
  int failed = 0;
  int notRun = 0; // after a stop on error
  double seconds = 0.0;
};

// Runs every frame through read, filter and write, three frames in flight
// at once. A frame whose stage throws Error is named on `report` and
// skipped (or ends the run with stopOnError); any other exception ends the
// run and is thrown again here once the frames in flight are done.
SequenceResult runSequence(const SequenceOptions &options, const SequenceStages &stages);

} // namespace qx
