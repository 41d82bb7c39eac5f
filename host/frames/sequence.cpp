// Frame patterns, ranges and tasks, and the three-stage sequence pipeline.
#include "frames/sequence.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

#include <ImfThreading.h>

#include "base/error.h"
#include "base/memory_plan.h"

namespace qx {
namespace {

// Where a pattern's frame number goes: [begin, end) of the name, and the
// digits it is padded to (as written, however wide).
struct PatternPlace {
  std::size_t begin = std::string::npos, end = 0;
  long long width = 0;
};

std::vector<PatternPlace> patternPlaces(const std::string &name) {
  std::vector<PatternPlace> places;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '#') {
      std::size_t j = i;
      while (j < name.size() && name[j] == '#') ++j;
      places.push_back({i, j, static_cast<long long>(j - i)});
      i = j - 1;
    } else if (name[i] == '%') {
      std::size_t j = i + 1;
      while (j < name.size() && name[j] >= '0' && name[j] <= '9') ++j;
      if (j < name.size() && name[j] == 'd' && (j == i + 1 || name[i + 1] == '0' || j == i + 2)) {
        // Read with a ceiling, so that a width of any length stays a number.
        long long width = 0;
        for (std::size_t k = i + 1; k < j; ++k)
          width = std::min(width * 10 + (name[k] - '0'), 1000LL);
        places.push_back({i, j + 1, std::max(width, 1LL)});
        i = j;
      }
    }
  }
  return places;
}

// The one place of a checked pattern (see checkFramePattern).
PatternPlace placeOf(const std::string &pattern, const std::string &option) {
  const std::vector<PatternPlace> places = patternPlaces(pattern);
  const std::string where = (option.empty() ? "" : option + ": ") + pattern + ": ";
  if (places.size() != 1) {
    throw Error(where + (places.empty()
                             ? std::string("the name holds no frame pattern ('####' or '%04d')")
                             : std::string("the name holds more than one frame pattern")));
  }
  if (places.front().width > kMaxFrameDigits) {
    throw Error(where + "the frame number is padded to " +
                (places.front().width >= 1000 ? std::string("1000 or more")
                                              : std::to_string(places.front().width)) +
                " digits; at most " + std::to_string(kMaxFrameDigits) + " are allowed");
  }
  return places.front();
}

// The number's text as a name holds it: zero-padded to `width` digits, after
// a '-' for a negative frame.
std::string numberText(int frame, int width) {
  char number[kMaxFrameDigits + 16];
  std::snprintf(number, sizeof number, "%0*d", width + (frame < 0 ? 1 : 0), frame);
  return number;
}

bool parseInt(const std::string &text, int &value) {
  if (text.empty() || text.size() > 9) return false;
  std::size_t start = text[0] == '-' ? 1 : 0;
  if (start == text.size() || text.find_first_not_of("0123456789", start) != std::string::npos) {
    return false;
  }
  value = std::atoi(text.c_str());
  return true;
}

// Whether the fixed texts `a` and `b` on one side of two patterns' numbers
// can be the same characters of a name: the shorter one is the longer's
// end nearest the number, and what the longer has beyond it could be part
// of a frame number.
bool sidesCanMeet(const std::string &a, const std::string &b, bool before) {
  const std::string &longer = a.size() >= b.size() ? a : b;
  const std::string &shorter = a.size() >= b.size() ? b : a;
  const std::size_t extra = longer.size() - shorter.size();
  const std::string same = before ? longer.substr(0, shorter.size()) : longer.substr(extra);
  const std::string rest = before ? longer.substr(shorter.size()) : longer.substr(0, extra);
  return same == shorter && rest.find_first_not_of("-0123456789") == std::string::npos;
}

// Strips and colours in flight (see memory_plan.h, which counts them).
constexpr int kStrips = kStripsInFlight;
constexpr int kColours = kColoursInFlight;
constexpr int kJobsInFlight = 16;

std::string clock(double seconds) {
  const long total = std::lround(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

} // namespace

bool isFramePattern(const std::string &pattern) { return !patternPlaces(pattern).empty(); }

void checkFramePattern(const std::string &pattern, const std::string &option) {
  placeOf(pattern, option);
}

namespace {

// expandFramePattern and frameOfName for a pattern whose place is known.
std::string nameOf(const std::string &pattern, const PatternPlace &place, int frame) {
  std::string name = numberText(frame, static_cast<int>(place.width));
  name.insert(0, pattern, 0, place.begin);
  name.append(pattern, place.end, std::string::npos);
  return name;
}

std::optional<int> frameOf(const std::string &pattern, const PatternPlace &place,
                           const std::string &name) {
  const std::size_t suffix = pattern.size() - place.end;
  if (name.size() <= place.begin + suffix ||
      name.compare(0, place.begin, pattern, 0, place.begin) != 0 ||
      name.compare(name.size() - suffix, suffix, pattern, place.end, suffix) != 0) {
    return std::nullopt;
  }
  const std::string text = name.substr(place.begin, name.size() - place.begin - suffix);
  const std::size_t sign = text[0] == '-' ? 1 : 0;
  if (text.size() == sign || text.find_first_not_of("0123456789", sign) != std::string::npos) {
    return std::nullopt;
  }
  // Leading zeros aside, a frame's number has at most ten digits.
  const std::size_t digits = std::min(text.find_first_not_of('0', sign), text.size() - 1);
  if (text.size() - digits > 10) return std::nullopt;
  const long long value = std::strtoll(text.c_str() + digits, nullptr, 10) * (sign ? -1 : 1);
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  const int frame = static_cast<int>(value);
  if (numberText(frame, static_cast<int>(place.width)) != text) return std::nullopt;
  return frame;
}

} // namespace

std::string expandFramePattern(const std::string &pattern, int frame) {
  return nameOf(pattern, placeOf(pattern, ""), frame);
}

std::optional<int> frameOfName(const std::string &pattern, const std::string &name) {
  return frameOf(pattern, placeOf(pattern, ""), name);
}

FrameRange FrameRange::parse(const std::string &text, const std::string &option) {
  const std::string bad = option + ": \"" + text + "\" is not a frame range (A-B or A-BxSTEP)";
  std::string range = text;
  int step = 1;
  const std::size_t x = text.find('x');
  if (x != std::string::npos) {
    range = text.substr(0, x);
    if (!parseInt(text.substr(x + 1), step) || step < 1) throw Error(bad);
  }
  int first = 0, last = 0;
  const std::size_t dash = range.find('-', 1);
  if (dash == std::string::npos) {
    if (!parseInt(range, first)) throw Error(bad);
    last = first;
  } else if (!parseInt(range.substr(0, dash), first) || !parseInt(range.substr(dash + 1), last) ||
             last < first) {
    throw Error(bad);
  }
  FrameRange frames;
  frames.first_ = first;
  frames.step_ = step;
  // At most 10^9 + 10^8 frames: nine characters a number.
  frames.count_ = static_cast<int>((static_cast<long long>(last) - first) / step + 1);
  return frames;
}

FrameRange FrameRange::task(const std::string &task, const std::string &option) const {
  const std::size_t slash = task.find('/');
  int index = 0, count = 0;
  if (slash == std::string::npos || !parseInt(task.substr(0, slash), index) ||
      !parseInt(task.substr(slash + 1), count) || count < 1 || index < 1 || index > count) {
    throw Error(option + ": \"" + task + "\" is not a task I/N with I from 1 to N");
  }
  // Every N-th of an evenly spaced run is an evenly spaced run again.
  FrameRange mine;
  mine.first_ = first_ + step_ * (index - 1);
  mine.step_ = step_ * count;
  mine.count_ = count_ >= index ? (count_ - index) / count + 1 : 0;
  return mine;
}

bool FrameRange::contains(long long frame) const {
  if (count_ == 0 || frame < first_ || (frame - first_) % step_ != 0) return false;
  return (frame - first_) / step_ < count_;
}

void refuseOutputsOverInputs(const std::string &inPattern, const std::string &outPattern,
                             const FrameRange &frames) {
  const PatternPlace in = placeOf(inPattern, "");
  const PatternPlace out = placeOf(outPattern, "");
  // Most runs write beside their inputs under another name or extension,
  // which no number can bridge: no name needs to be read back then.
  if (!sidesCanMeet(inPattern.substr(0, in.begin), outPattern.substr(0, out.begin), true) ||
      !sidesCanMeet(inPattern.substr(in.end), outPattern.substr(out.end), false)) {
    return;
  }
  for (int i = 0; i < frames.count(); ++i) {
    const int frame = frames.at(i);
    const std::string name = nameOf(outPattern, out, frame);
    const std::optional<int> other = frameOf(inPattern, in, name);
    if (!other || !frames.contains(*other)) continue;
    const std::string input = expandFramePattern(inPattern, frame);
    throw Error("render: frame " + std::to_string(frame) + " (" + input + ") would be written to " +
                name + ", " +
                (*other == frame ? std::string("its own input")
                                 : "the input of frame " + std::to_string(*other)) +
                ", which the run reads; give --out another name");
  }
}

SequenceProgress::SequenceProgress(std::FILE *report, ProgressStyle style, bool single, int total)
    : report_(report), single_(single), total_(total), start_(std::chrono::steady_clock::now()) {
  const bool terminal = report != nullptr && isatty(fileno(report)) == 1;
  const bool automatic = style == ProgressStyle::Auto;
  bar_ = report != nullptr && (style == ProgressStyle::Bar || (automatic && terminal));
  lines_ =
      report != nullptr && !single && (style == ProgressStyle::Lines || (automatic && !terminal));
}

double SequenceProgress::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void SequenceProgress::say(const std::string &message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (report_ == nullptr) return;
  std::fprintf(report_, "%sqxhost: %s\n", shown_ ? "\r\033[K" : "", message.c_str());
  shown_ = false;
  std::fflush(report_);
}

void SequenceProgress::showRows(int width, int height, int rowsDone) {
  if (!bar_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (seconds() < 1.0) return;
  shownSize_ = std::to_string(width) + "x" + std::to_string(height);
  std::fprintf(report_, "\r\033[Kqxhost: rendering %s: %3d%%", shownSize_.c_str(),
               static_cast<int>(100LL * rowsDone / height));
  std::fflush(report_);
  shown_ = true;
}

void SequenceProgress::showFrames(int rendered, int failed) {
  if (!bar_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const double elapsed = seconds();
  const int done = rendered + failed;
  const double rate = elapsed > 0.0 ? rendered / elapsed : 0.0;
  const double left = done > 0 ? elapsed / done * (total_ - done) : 0.0;
  std::fprintf(report_, "\r\033[Kqxhost: frame %d of %d, %.2f frames/s, %s left", done, total_,
               rate, clock(left).c_str());
  std::fflush(report_);
  shown_ = true;
}

void SequenceProgress::frameDone(const SequenceFrame &frame, bool failed, double seconds,
                                 int done) {
  if (!lines_) return;
  char line[80];
  std::snprintf(line, sizeof line, "%s %.2f s (%d of %d)", failed ? "failed after" : "rendered in",
                seconds, done, total_);
  say("frame " + std::to_string(frame.number) + ": " + frame.out + ": " + line);
}

void SequenceProgress::endRows(bool stopped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!shown_ || !single_) return;
  std::fprintf(report_, "\r\033[Kqxhost: rendering %s: %s\n", shownSize_.c_str(),
               stopped ? "stopped" : "100%");
}

void SequenceProgress::summary(const SequenceResult &result) {
  if (report_ == nullptr || single_) return;
  char text[200];
  std::snprintf(text, sizeof text,
                "%d of %d frames rendered, %d failed%s in %.1f s (%.2f frames/s)", result.rendered,
                total_, result.failed,
                result.notRun > 0
                    ? (", " + std::to_string(result.notRun) + " not run after the stop,").c_str()
                    : ",",
                result.seconds, result.seconds > 0 ? result.rendered / result.seconds : 0.0);
  say(text);
}

namespace pipeline {

// A queue between two stages; closing it lets the taker finish.
template <class T> class Queue {
public:
  void put(T item) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  bool take(T &item) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    return true;
  }
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> items_;
  bool closed_ = false;
};

} // namespace pipeline

// A frame in flight, shared by the strips that carry it through the stages.
struct FrameSequence::Job {
  int index = 0;                                // in the run's order
  std::chrono::steady_clock::time_point opened; // when its reading began
  SequenceFrame frame;
  std::unique_ptr<ExrInput> input;
  std::unique_ptr<FrameSink> sink; // the writing thread's alone
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::string error; // the first failure

  void fail(const std::string &message) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!failed) error = message;
    failed = true;
  }
};

// A strip on its way through the stages. Every frame sends exactly one
// piece marked last; a frame that failed before its end sends it without a
// strip.
struct FrameSequence::Piece {
  std::shared_ptr<Job> job;
  std::unique_ptr<ExrStrip> strip;
  std::unique_ptr<Frame> colour;
  bool first = false, last = false;
};

// What the stages share while a run lasts.
struct FrameSequence::Flow {
  // Frames after this one are not run: the frame that failed under
  // stopOnError, or -1 after an unexpected exception.
  std::atomic<int> stopAfter{std::numeric_limits<int>::max()};
  std::atomic<int> rendered{0}, failed{0}, notRun{0};
  std::mutex fatalMutex;
  std::exception_ptr fatal;
  std::string firstError;

  pipeline::Queue<std::unique_ptr<ExrStrip>> freeStrips;
  pipeline::Queue<std::unique_ptr<Frame>> freeColours;
  pipeline::Queue<Piece> readDone, filterDone;
  pipeline::Queue<std::shared_ptr<Job>> written; // frames whose last strip is written
  // Frames in flight, from their opening to their commit: a run of frames
  // that fail at once (missing files) holds no more than these.
  pipeline::Queue<bool> jobTokens;
};

FrameSequence::FrameSequence(FrameFilter &filter, const FrameReadOptions &frame,
                             const FrameOutputOptions &output, SequenceOptions options)
    : filter_(filter), frame_(frame), output_(output), options_(std::move(options)),
      progress_(options_.report, options_.progress, options_.single, options_.count) {
  Imf::setGlobalThreadCount(static_cast<int>(filter.threads()));
  // How the run holds each frame: in strips, with the output's own memory,
  // and every channel read when the output carries them through.
  read_ = exrReadOptionsFor(frame, filter.buffers());
  read_.passThrough = !output.rgbaOnly;
  read_.memory.strips = true;
  read_.memory.output = output.png || output.planesOut ? ExrMemoryUse::Output::WholeColour
                                                       : ExrMemoryUse::Output::Exr;
  read_.memory.floatOutput = output.forceFloat;
  read_.memory.displayPicture = output.png && output.pngDisplayWindow;
  // An output that keeps the part's layout copies the chunks the filter
  // leaves alone, as the reader kept them.
  read_.keepChunks = copiesChunks(output);
  if (options_.single) read_.memory.outputs = 1;
}

FrameSequence::~FrameSequence() = default;

std::unique_ptr<ExrInput> FrameSequence::open(const SequenceFrame &frame) const {
  if (options_.checkFrames) {
    std::vector<NamedPath> inputs = options_.inputs;
    const std::vector<NamedPath> own = frameFiles(frame.in);
    inputs.insert(inputs.end(), own.begin(), own.end());
    refuseOutputOverInput(outputFiles(output_, frame.out), inputs);
  }
  if (frame_.cryptomatte.empty()) return std::make_unique<ExrInput>(frame.in, read_);
  // The layer's rank channels are read besides the buffers.
  const std::vector<CryptomatteLayer> layers =
      readCryptomatteLayers(frame.in, [](const std::string &) {});
  ExrReadOptions withRanks = read_;
  withRanks.extraChannels = findCryptomatteLayer(layers, frame_.cryptomatte, frame.in).rankChannels;
  return std::make_unique<ExrInput>(frame.in, withRanks);
}

void FrameSequence::begin(const ExrInput &input) {
  if (frame_.cryptomatte.empty()) {
    filter_.begin(holdingsOf(input, frame_.map), input.name());
    return;
  }
  const std::vector<CryptomatteLayer> layers = cryptomatteLayersOf(input, [](const std::string &w) {
    std::fprintf(stderr, "qxhost: warning: %s\n", w.c_str());
  });
  filter_.begin(holdingsOf(input, frame_.map), input.name(),
                &findCryptomatteLayer(layers, frame_.cryptomatte, input.name()));
}

void FrameSequence::fail(Job &job, const std::string &message) {
  job.fail(message);
  if (options_.stopOnError) {
    int current = flow_->stopAfter;
    while (job.index < current && !flow_->stopAfter.compare_exchange_weak(current, job.index)) {
    }
  }
}

void FrameSequence::keepFatal() {
  std::lock_guard<std::mutex> lock(flow_->fatalMutex);
  if (!flow_->fatal) flow_->fatal = std::current_exception();
  flow_->stopAfter = -1;
}

bool FrameSequence::abandoned(const Job &job) const { return job.index > flow_->stopAfter; }

void FrameSequence::recycle(Piece &piece) {
  if (piece.strip) flow_->freeStrips.put(std::move(piece.strip));
  if (piece.colour) flow_->freeColours.put(std::move(piece.colour));
}

void FrameSequence::read() {
  Flow &flow = *flow_;
  const int total = options_.count;
  for (int index = 0; index < total; ++index) {
    auto job = std::make_shared<Job>();
    job->index = index;
    if (abandoned(*job)) {
      // A stop passes every later frame too.
      flow.notRun += total - index;
      break;
    }
    bool token = false;
    flow.jobTokens.take(token);
    job->opened = std::chrono::steady_clock::now();
    try {
      job->frame = options_.frame(index);
      job->input = open(job->frame);
    } catch (const Error &e) {
      fail(*job, e.what());
    } catch (...) {
      keepFatal();
    }
    bool lastSent = false;
    if (job->input) {
      const int rows = job->input->stripRows();
      const int height = job->input->height();
      for (int row = 0; row < height && !job->failed && !abandoned(*job); row += rows) {
        Piece piece;
        piece.job = job;
        piece.first = row == 0;
        piece.last = row + rows >= height;
        flow.freeStrips.take(piece.strip);
        try {
          job->input->read(row, std::min(rows, height - row), *piece.strip);
        } catch (const Error &e) {
          fail(*job, e.what());
        } catch (...) {
          keepFatal();
        }
        if (job->failed || abandoned(*job)) {
          recycle(piece);
          break;
        }
        lastSent = piece.last;
        flow.readDone.put(std::move(piece));
      }
    }
    // Its decoding buffers go before the next frame's are made.
    if (job->input) job->input->finishReading();
    if (!lastSent) {
      Piece marker;
      marker.job = job;
      marker.last = true;
      flow.readDone.put(std::move(marker));
    }
  }
  flow.readDone.close();
}

void FrameSequence::filter() {
  Flow &flow = *flow_;
  Piece piece;
  while (flow.readDone.take(piece)) {
    Job &job = *piece.job;
    if (piece.strip && !job.failed && !abandoned(job)) {
      try {
        if (piece.first) begin(*job.input);
        flow.freeColours.take(piece.colour);
        filter_.filter(piece.strip->frame, *piece.colour, piece.strip->firstRow,
                       &piece.strip->extra);
        if (piece.last) filter_.end();
      } catch (const Error &e) {
        fail(job, e.what());
      } catch (...) {
        keepFatal();
      }
    }
    if (job.failed || abandoned(job)) {
      recycle(piece);
      if (!piece.last) continue;
    }
    flow.filterDone.put(std::move(piece));
    piece = Piece();
  }
  flow.filterDone.close();
}

void FrameSequence::write() {
  Flow &flow = *flow_;
  Piece piece;
  int rowsDone = 0;
  while (flow.filterDone.take(piece)) {
    Job &job = *piece.job;
    if (piece.strip && !job.failed && !abandoned(job)) {
      try {
        if (!job.sink) job.sink = makeFrameSink(job.frame.out, *job.input, output_);
        job.sink->write(*piece.strip, *piece.colour);
        rowsDone = piece.strip->firstRow + piece.strip->rows;
      } catch (const Error &e) {
        fail(job, e.what());
      } catch (...) {
        keepFatal();
      }
    }
    recycle(piece);
    if (piece.last) {
      rowsDone = 0;
      flow.written.put(std::move(piece.job));
    } else if (options_.single && job.input) {
      progress_.showRows(job.input->width(), job.input->height(), rowsDone);
    }
    piece = Piece();
  }
  flow.written.close();
}

// Committing a file flushes it to the disk, which takes the disk's time,
// not the processor's: the writing thread goes on with the next frame
// meanwhile.
void FrameSequence::commit() {
  Flow &flow = *flow_;
  std::shared_ptr<Job> done;
  while (flow.written.take(done)) {
    Job &job = *done;
    if (!job.failed && !abandoned(job) && job.sink) {
      try {
        job.sink->commit();
      } catch (const Error &e) {
        fail(job, e.what());
      } catch (...) {
        keepFatal();
      }
    }
    job.sink.reset();
    const bool ran = job.failed || !abandoned(job);
    if (job.failed) {
      ++flow.failed;
      if (flow.firstError.empty()) flow.firstError = job.error;
      if (!options_.single) progress_.say(job.error);
    } else if (abandoned(job)) {
      ++flow.notRun;
    } else {
      ++flow.rendered;
    }
    if (ran) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - job.opened).count();
      progress_.frameDone(job.frame, job.failed, seconds, flow.rendered + flow.failed);
    }
    if (!options_.single) progress_.showFrames(flow.rendered, flow.failed);
    done.reset();
    flow.jobTokens.put(true);
  }
}

SequenceResult FrameSequence::run() {
  flow_ = std::make_unique<Flow>();
  Flow &flow = *flow_;
  for (int i = 0; i < kStrips; ++i) flow.freeStrips.put(std::make_unique<ExrStrip>());
  for (int i = 0; i < kColours; ++i) flow.freeColours.put(std::make_unique<Frame>());
  for (int i = 0; i < kJobsInFlight; ++i) flow.jobTokens.put(true);

  std::thread reader([this] { read(); });
  std::thread writer([this] { write(); });
  std::thread committer([this] { commit(); });
  filter();
  reader.join();
  writer.join();
  committer.join();

  SequenceResult result;
  result.rendered = flow.rendered;
  result.failed = flow.failed;
  result.notRun = flow.notRun;
  result.firstError = flow.firstError;
  result.seconds = progress_.seconds();
  progress_.endRows(result.failed > 0 || flow.fatal);
  if (flow.fatal) std::rethrow_exception(flow.fatal);
  progress_.summary(result);
  return result;
}

} // namespace qx
