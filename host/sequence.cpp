// Frame patterns, ranges and tasks, and the three-stage sequence pipeline.
#include "sequence.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

#include "error.h"

namespace qx {
namespace {

// Where a pattern's frame number goes: [begin, end) of the name, and the
// digits it is padded to.
struct PatternPlace {
  std::size_t begin = std::string::npos, end = 0;
  int width = 0;
};

std::vector<PatternPlace> patternPlaces(const std::string &name) {
  std::vector<PatternPlace> places;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '#') {
      std::size_t j = i;
      while (j < name.size() && name[j] == '#') ++j;
      places.push_back({i, j, static_cast<int>(j - i)});
      i = j - 1;
    } else if (name[i] == '%') {
      std::size_t j = i + 1;
      while (j < name.size() && name[j] >= '0' && name[j] <= '9') ++j;
      if (j < name.size() && name[j] == 'd' && (j == i + 1 || name[i + 1] == '0' || j == i + 2)) {
        const int width = j == i + 1 ? 1 : std::atoi(name.substr(i + 1, j - i - 1).c_str());
        places.push_back({i, j + 1, width < 1 ? 1 : width});
        i = j;
      }
    }
  }
  return places;
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
  int index = 0; // in the run's order
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

// Strips and colours in flight: enough for one in each stage and one
// waiting, so that no stage waits for memory while another is busy.
constexpr int kStrips = 4;
constexpr int kColours = 3;

std::string clock(double seconds) {
  const long total = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  return text;
}

} // namespace

bool isFramePattern(const std::string &pattern) { return !patternPlaces(pattern).empty(); }

std::string expandFramePattern(const std::string &pattern, int frame) {
  const std::vector<PatternPlace> places = patternPlaces(pattern);
  if (places.size() != 1) {
    throw Error(pattern + ": " +
                (places.empty() ? std::string("the name holds no frame pattern ('####' or '%04d')")
                                : std::string("the name holds more than one frame pattern")));
  }
  const PatternPlace &place = places.front();
  char number[24];
  std::snprintf(number, sizeof number, "%0*d", place.width + (frame < 0 ? 1 : 0), frame);
  return pattern.substr(0, place.begin) + number + pattern.substr(place.end);
}

std::vector<int> parseFrameRange(const std::string &text, const std::string &option) {
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
  std::vector<int> frames;
  for (long long f = first; f <= last; f += step) frames.push_back(static_cast<int>(f));
  return frames;
}

std::vector<int> taskFrames(const std::vector<int> &frames, const std::string &task,
                            const std::string &option) {
  const std::size_t slash = task.find('/');
  int index = 0, count = 0;
  if (slash == std::string::npos || !parseInt(task.substr(0, slash), index) ||
      !parseInt(task.substr(slash + 1), count) || count < 1 || index < 1 || index > count) {
    throw Error(option + ": \"" + task + "\" is not a task I/N with I from 1 to N");
  }
  std::vector<int> mine;
  for (std::size_t i = static_cast<std::size_t>(index - 1); i < frames.size();
       i += static_cast<std::size_t>(count)) {
    mine.push_back(frames[i]);
  }
  return mine;
}

std::vector<SequenceFrame> sequenceFrames(const std::string &inPattern,
                                          const std::string &outPattern,
                                          const std::vector<int> &numbers) {
  std::vector<SequenceFrame> frames;
  for (int number : numbers) {
    frames.push_back(
        {number, expandFramePattern(inPattern, number), expandFramePattern(outPattern, number)});
  }
  return frames;
}

SequenceResult runSequence(const SequenceOptions &options, const SequenceStages &stages) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const bool terminal = options.report != nullptr && isatty(fileno(options.report)) == 1;
  const int total = static_cast<int>(options.frames.size());

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
    if (!terminal) return;
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

  std::thread reader([&] {
    for (int index = 0; index < total; ++index) {
      auto job = std::make_shared<Job>();
      job->index = index;
      job->frame = options.frames[static_cast<std::size_t>(index)];
      if (abandoned(*job)) {
        ++notRun;
        continue;
      }
      try {
        job->input = stages.open(job->frame.in);
      } catch (const Error &e) {
        failJob(*job, e.what());
      } catch (...) {
        keepFatal();
      }
      bool lastSent = false;
      if (job->input) {
        const int align = job->input->rowAlignment();
        const int rows = std::max(1, (options.stripRows + align - 1) / align) * align;
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
      if (job.failed) {
        ++failed;
        if (firstError.empty()) firstError = job.error;
        if (!options.single) report(job.error);
      } else if (abandoned(job)) {
        ++notRun;
      } else {
        ++rendered;
      }
      if (!options.single) showProgress(job, 0);
      done.reset();
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
