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

// A frame in flight, shared by the strips that carry it through the stages.
struct Job {
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
struct Piece {
  std::shared_ptr<Job> job;
  std::unique_ptr<ExrStrip> strip;
  std::unique_ptr<Frame> colour;
  bool first = false, last = false;
};

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

SequenceResult runSequence(const SequenceOptions &options, const SequenceStages &stages) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const bool terminal = options.report != nullptr && isatty(fileno(options.report)) == 1;
  const bool automatic = options.progress == ProgressStyle::Auto;
  const bool bar = options.report != nullptr &&
                   (options.progress == ProgressStyle::Bar || (automatic && terminal));
  const bool lines = options.report != nullptr && !options.single &&
                     (options.progress == ProgressStyle::Lines || (automatic && !terminal));
  const int total = options.count;

  // Frames after this one are not run: the frame that failed under
  // stopOnError, or -1 after an unexpected exception.
  std::atomic<int> stopAfter{std::numeric_limits<int>::max()};
  std::atomic<int> rendered{0}, failed{0}, notRun{0};
  std::mutex reportMutex;
  std::exception_ptr fatal;
  std::string firstError;
  bool progressShown = false;
  std::string shownSize; // of the single frame, once its progress is shown

  auto report = [&](const std::string &message) {
    std::lock_guard<std::mutex> lock(reportMutex);
    if (options.report == nullptr) return;
    std::fprintf(options.report, "%sqxhost: %s\n", progressShown ? "\r\033[K" : "",
                 message.c_str());
    progressShown = false;
    std::fflush(options.report);
  };
  auto failJob = [&](Job &job, const std::string &message) {
    job.fail(message);
    if (options.stopOnError) {
      int current = stopAfter;
      while (job.index < current && !stopAfter.compare_exchange_weak(current, job.index)) {
      }
    }
  };
  auto keepFatal = [&] {
    std::lock_guard<std::mutex> lock(reportMutex);
    if (!fatal) fatal = std::current_exception();
    stopAfter = -1;
  };
  auto abandoned = [&](const Job &job) { return job.index > stopAfter; };
  auto showProgress = [&](const Job &job, int rowsDone) {
    if (!bar) return;
    std::lock_guard<std::mutex> lock(reportMutex);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (options.single) {
      if (seconds < 1.0 || !job.input) return;
      shownSize = std::to_string(job.input->width()) + "x" + std::to_string(job.input->height());
      std::fprintf(options.report, "\r\033[Kqxhost: rendering %s: %3d%%", shownSize.c_str(),
                   static_cast<int>(100LL * rowsDone / job.input->height()));
    } else {
      const int done = rendered + failed;
      const double rate = seconds > 0.0 ? rendered / seconds : 0.0;
      const double left = done > 0 ? seconds / done * (total - done) : 0.0;
      std::fprintf(options.report, "\r\033[Kqxhost: frame %d of %d, %.2f frames/s, %s left", done,
                   total, rate, clock(left).c_str());
    }
    std::fflush(options.report);
    progressShown = true;
  };

  Queue<std::unique_ptr<ExrStrip>> freeStrips;
  Queue<std::unique_ptr<Frame>> freeColours;
  for (int i = 0; i < kStrips; ++i) freeStrips.put(std::make_unique<ExrStrip>());
  for (int i = 0; i < kColours; ++i) freeColours.put(std::make_unique<Frame>());
  auto recycle = [&](Piece &piece) {
    if (piece.strip) freeStrips.put(std::move(piece.strip));
    if (piece.colour) freeColours.put(std::move(piece.colour));
  };
  Queue<Piece> readDone, filterDone;
  Queue<std::shared_ptr<Job>> written; // frames whose last strip is written

  // Frames in flight, from their opening to their commit: a run of frames
  // that fail at once (missing files) holds no more than these.
  Queue<bool> jobTokens;
  for (int i = 0; i < kJobsInFlight; ++i) jobTokens.put(true);

  std::thread reader([&] {
    for (int index = 0; index < total; ++index) {
      auto job = std::make_shared<Job>();
      job->index = index;
      if (abandoned(*job)) {
        // A stop passes every later frame too.
        notRun += total - index;
        break;
      }
      bool token = false;
      jobTokens.take(token);
      job->opened = Clock::now();
      try {
        job->frame = options.frame(index);
        job->input = stages.open(job->frame);
      } catch (const Error &e) {
        failJob(*job, e.what());
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
          freeStrips.take(piece.strip);
          try {
            job->input->read(row, std::min(rows, height - row), *piece.strip);
          } catch (const Error &e) {
            failJob(*job, e.what());
          } catch (...) {
            keepFatal();
          }
          if (job->failed || abandoned(*job)) {
            recycle(piece);
            break;
          }
          lastSent = piece.last;
          readDone.put(std::move(piece));
        }
      }
      // Its decoding buffers go before the next frame's are made.
      if (job->input) job->input->finishReading();
      if (!lastSent) {
        Piece marker;
        marker.job = job;
        marker.last = true;
        readDone.put(std::move(marker));
      }
    }
    readDone.close();
  });

  std::thread writer([&] {
    Piece piece;
    int rowsDone = 0;
    while (filterDone.take(piece)) {
      Job &job = *piece.job;
      if (piece.strip && !job.failed && !abandoned(job)) {
        try {
          if (!job.sink) job.sink = stages.sink(job.frame.out, *job.input);
          job.sink->write(*piece.strip, *piece.colour);
          rowsDone = piece.strip->firstRow + piece.strip->rows;
        } catch (const Error &e) {
          failJob(job, e.what());
        } catch (...) {
          keepFatal();
        }
      }
      recycle(piece);
      if (piece.last) {
        rowsDone = 0;
        written.put(std::move(piece.job));
      } else if (options.single) {
        showProgress(job, rowsDone);
      }
      piece = Piece();
    }
    written.close();
  });

  // Committing a file flushes it to the disk, which takes the disk's time,
  // not the processor's: the writing thread goes on with the next frame
  // meanwhile.
  std::thread committer([&] {
    std::shared_ptr<Job> done;
    while (written.take(done)) {
      Job &job = *done;
      if (!job.failed && !abandoned(job) && job.sink) {
        try {
          job.sink->commit();
        } catch (const Error &e) {
          failJob(job, e.what());
        } catch (...) {
          keepFatal();
        }
      }
      job.sink.reset();
      const bool ran = job.failed || !abandoned(job);
      if (job.failed) {
        ++failed;
        if (firstError.empty()) firstError = job.error;
        if (!options.single) report(job.error);
      } else if (abandoned(job)) {
        ++notRun;
      } else {
        ++rendered;
      }
      if (lines && ran) {
        const double seconds = std::chrono::duration<double>(Clock::now() - job.opened).count();
        char line[80];
        std::snprintf(line, sizeof line, "%s %.2f s (%d of %d)",
                      job.failed ? "failed after" : "rendered in", seconds, rendered + failed,
                      total);
        report("frame " + std::to_string(job.frame.number) + ": " + job.frame.out + ": " + line);
      }
      if (!options.single) showProgress(job, 0);
      done.reset();
      jobTokens.put(true);
    }
  });

  Piece piece;
  while (readDone.take(piece)) {
    Job &job = *piece.job;
    if (piece.strip && !job.failed && !abandoned(job)) {
      try {
        if (piece.first) stages.begin(*job.input);
        freeColours.take(piece.colour);
        stages.filter(*job.input, *piece.strip, *piece.colour);
        if (piece.last && stages.end) stages.end(*job.input);
      } catch (const Error &e) {
        failJob(job, e.what());
      } catch (...) {
        keepFatal();
      }
    }
    if (job.failed || abandoned(job)) {
      recycle(piece);
      if (!piece.last) continue;
    }
    filterDone.put(std::move(piece));
    piece = Piece();
  }
  filterDone.close();
  reader.join();
  writer.join();
  committer.join();

  SequenceResult result;
  result.rendered = rendered;
  result.failed = failed;
  result.notRun = notRun;
  result.firstError = firstError;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (progressShown && options.single) {
    std::fprintf(options.report, "\r\033[Kqxhost: rendering %s: %s\n", shownSize.c_str(),
                 result.failed > 0 || fatal ? "stopped" : "100%");
  }
  if (fatal) std::rethrow_exception(fatal);
  if (options.report != nullptr && !options.single) {
    char summary[200];
    std::snprintf(summary, sizeof summary,
                  "%d of %d frames rendered, %d failed%s in %.1f s (%.2f frames/s)",
                  result.rendered, total, result.failed,
                  result.notRun > 0
                      ? (", " + std::to_string(result.notRun) + " not run after the stop,").c_str()
                      : ",",
                  result.seconds, result.seconds > 0 ? result.rendered / result.seconds : 0.0);
    report(summary);
  }
  return result;
}

} // namespace qx
