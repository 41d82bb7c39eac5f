// Frame patterns, ranges and tasks, and the three-stage sequence pipeline.
#include "sequence.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
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

// A queue of one frame between two stages; closing it lets the taker finish.
template <class T> class Handoff {
public:
  void put(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return items_.empty(); });
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  bool take(T &item) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    changed_.notify_all();
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

struct Item {
  int frame = 0;
  std::string in, out;
  std::optional<ExrImage> image;
  Frame colour;
  std::string error; // set: the frame failed at a stage before
};

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

SequenceResult runSequence(const SequenceOptions &options, const SequenceStages &stages) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const bool terminal = options.report != nullptr && isatty(fileno(options.report)) == 1;
  const int total = static_cast<int>(options.frames.size());

  std::atomic<bool> stop{false};
  std::atomic<int> rendered{0}, failed{0}, notRun{0};
  std::mutex reportMutex;
  std::exception_ptr fatal;
  bool progressShown = false;

  auto report = [&](const std::string &message) {
    std::lock_guard<std::mutex> lock(reportMutex);
    if (options.report == nullptr) return;
    std::fprintf(options.report, "%sqxhost: %s\n", progressShown ? "\r\033[K" : "",
                 message.c_str());
    progressShown = false;
    std::fflush(options.report);
  };
  auto fail = [&](const std::string &message) {
    report(message);
    ++failed;
    if (options.stopOnError) stop = true;
  };
  auto keepFatal = [&] {
    std::lock_guard<std::mutex> lock(reportMutex);
    if (!fatal) fatal = std::current_exception();
    stop = true;
  };
  auto showProgress = [&] {
    if (!terminal) return;
    std::lock_guard<std::mutex> lock(reportMutex);
    const int done = rendered + failed;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate = seconds > 0.0 ? rendered / seconds : 0.0;
    const double left = done > 0 ? seconds / done * (total - done) : 0.0;
    std::fprintf(options.report, "\r\033[Kqxhost: frame %d of %d, %.2f frames/s, %s left", done,
                 total, rate, clock(left).c_str());
    std::fflush(options.report);
    progressShown = true;
  };

  Handoff<Item> readDone, filterDone;

  std::thread reader([&] {
    for (int frame : options.frames) {
      if (stop) {
        ++notRun;
        continue;
      }
      Item item;
      item.frame = frame;
      try {
        item.in = expandFramePattern(options.inPattern, frame);
        item.out = expandFramePattern(options.outPattern, frame);
        item.image = stages.read(item.in);
      } catch (const Error &e) {
        item.error = e.what();
      } catch (...) {
        keepFatal();
        ++notRun;
        continue;
      }
      readDone.put(std::move(item));
    }
    readDone.close();
  });

  std::thread writer([&] {
    Item item;
    while (filterDone.take(item)) {
      try {
        stages.write(item.out, *item.image, item.colour);
        ++rendered;
      } catch (const Error &e) {
        fail(e.what());
      } catch (...) {
        keepFatal();
      }
      item = Item();
      showProgress();
    }
  });

  Item item;
  while (readDone.take(item)) {
    if (stop) {
      ++notRun;
      continue;
    }
    if (!item.error.empty()) {
      fail(item.error);
      showProgress();
      continue;
    }
    try {
      item.colour = stages.filter(*item.image);
      filterDone.put(std::move(item));
    } catch (const Error &e) {
      fail(e.what());
      showProgress();
    } catch (...) {
      keepFatal();
    }
  }
  filterDone.close();
  reader.join();
  writer.join();

  SequenceResult result;
  result.rendered = rendered;
  result.failed = failed;
  result.notRun = notRun;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (fatal) std::rethrow_exception(fatal);
  if (options.report != nullptr) {
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
