// The soak test: many random panel sessions over the demo scene, each played
// by a real `qxhost panel` run that ends in --save, and each saved scene
// loaded back. It holds the promise that no session loses a stack it did not
// touch: every stored stack of an entry that the session never selected comes
// back byte for byte, and every saved state loads back to the same lines.
//
//   qx_soak --qxhost build/qxhost --sessions 2000 [--seed N] [--jobs 2]
//
// A failed session leaves its folder (scene, script, outputs) under --work
// and names it, so that it can be replayed by hand.
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "scene/scene.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  std::string qxhost;
  std::string work;
  int sessions = 2000;
  unsigned int seed = 1;
  int jobs = 2;
};

std::string readAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Runs a command line in `dir`; returns its exit status, -1 when it did not
// exit by itself.
int run(const fs::path &dir, const std::string &command) {
  const std::string line = "cd '" + dir.string() + "' && " + command + " >out.txt 2>err.txt";
  const int raw = std::system(line.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A stored state as blocks: for each entry line, the entry line with the
// layer lines that follow it, keyed by the entry line's value text.
std::map<std::string, std::vector<std::string>> blocksOf(const std::vector<std::string> &state) {
  std::map<std::string, std::vector<std::string>> blocks;
  std::size_t at = 1; // past the header
  while (at < state.size()) {
    std::istringstream entry(state[at]);
    std::string value;
    long layers = 0;
    if (!(entry >> value >> layers) || layers < 0) break;
    std::vector<std::string> block(state.begin() + static_cast<long>(at),
                                   state.begin() +
                                       static_cast<long>(std::min(state.size(), at + 1 + layers)));
    blocks[value] = block;
    at += 1 + static_cast<std::size_t>(layers);
  }
  return blocks;
}

// The text an entry line starts with for a value, as the scene state writes
// values that six decimals give back exactly (the demo's are whole numbers).
std::string valueText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%lf", value);
  return text;
}

// The random session: a few entries picked by their buffer-list rows, each
// edited by random events. Only the picked entries may change.
class SessionMaker {
public:
  SessionMaker(unsigned int seed, int rows) : random_(seed), rows_(rows) {}

  std::string script(std::set<int> &touched) {
    std::ostringstream out;
    const int entries = pick(0, 3);
    for (int e = 0; e < entries; ++e) {
      const int row = pick(0, rows_ - 1);
      touched.insert(row);
      out << "select \"BufferList\" " << row << "\n";
      const int events = pick(1, 12);
      for (int i = 0; i < events; ++i) out << event();
    }
    // Events that change no stack: the preview and the surface list.
    if (pick(0, 3) == 0) out << "set 27 " << pick(0, 2) << "\n";
    if (pick(0, 3) == 0) out << "select 1 0\n";
    return out.str();
  }

private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::string event() {
    static const char *const kClicks[] = {"Copy", "Paste", "Add Layer", "Del Layer", "*",
                                          "-",    "I",     "up",        "down"};
    std::ostringstream out;
    switch (pick(0, 14)) {
    case 0:
      out << "set \"Active\" " << pick(0, 1) << "\n";
      break;
    case 1:
    case 2:
      out << "click \"" << kClicks[pick(0, 8)] << "\"\n";
      break;
    case 3:
      out << "select \"LayerList\" " << pick(0, 5) << "\n";
      break;
    case 4:
      out << "set \"*/-\" " << pick(0, 1) << "\n";
      break;
    case 5:
      out << "set \"LayerType\" " << pick(0, 1) << "\n";
      break;
    case 6:
      out << "set 18 " << pick(0, 255) << " " << pick(0, 255) << " " << pick(0, 255) << "\n";
      break;
    case 7:
      out << "set \"Intensity\" " << pick(0, 300) << "\n";
      break;
    case 8:
      out << "set \"Mode\" " << pick(0, 9) << "\n";
      break;
    case 9:
      out << "set \"" << (pick(0, 1) == 0 ? "Input Buffer" : "AlphaBuffer") << "\" " << pick(0, 12)
          << "\n";
      break;
    case 10:
      out << "set \"" << (pick(0, 1) == 0 ? "Invert" : "AlphaInvert") << "\" " << pick(0, 1)
          << "\n";
      break;
    case 11:
      out << "set \"AlphaIntensity\" " << pick(0, 300) << "\n";
      break;
    case 12:
      out << "picker accept " << pick(0, 100) / 100.0 << " " << pick(0, 100) / 100.0 << " "
          << pick(0, 100) / 100.0 << "\nclick \"Color\"\n";
      break;
    case 13:
      out << "file \"set.QXD\"\nclick \"Export\"\n";
      break;
    default:
      // A layer set this session exported, or one that announces as many
      // layers as a whole scene may hold: importing it twice must be refused.
      out << "file \"" << (pick(0, 3) == 0 ? "full.QXD" : "set.QXD") << "\"\nclick \"Import\"\n";
      break;
    }
    return out.str();
  }

  std::mt19937 random_;
  int rows_;
};

struct Fixture {
  fs::path demoScene;
  std::vector<std::string> demoState;
  int rows = 0;
  std::vector<double> rowValues; // the value each buffer-list row stands for
};

// The buffer list's rows: the scene's distinct special-buffer values in
// surface order, at most 256.
std::vector<double> rowValuesOf(const qx::Scene &scene) {
  std::vector<double> values;
  for (const qx::SceneSurface &surface : scene.surfaces) {
    if (!surface.specialBuffer) continue;
    if (std::find(values.begin(), values.end(), *surface.specialBuffer) != values.end()) continue;
    if (values.size() < 256) values.push_back(*surface.specialBuffer);
  }
  return values;
}

// One session in its own folder. Returns the empty text when it held, or
// what went wrong.
std::string playSession(const Options &options, const Fixture &fixture, int number) {
  const fs::path dir = fs::path(options.work) / ("session-" + std::to_string(number));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(fixture.demoScene, dir / "scene.json");
  writeAll(dir / "full.QXD", "Quintessalux_LayerSet_Ver.1.9\n-3 33000\n");
  writeAll(dir / "empty.txt", "");

  SessionMaker maker(options.seed * 1000003u + static_cast<unsigned int>(number), fixture.rows);
  std::set<int> touched;
  writeAll(dir / "session.txt", maker.script(touched));

  const std::string qxhost = "'" + options.qxhost + "'";
  if (run(dir, qxhost + " panel --scene scene.json --script session.txt --content-dir . --save") !=
      0)
    return "the session's qxhost panel failed: " + readAll(dir / "err.txt");
  std::vector<std::string> saved;
  try {
    saved = qx::Scene::load((dir / "scene.json").string())
                .filterState.value_or(std::vector<std::string>{});
  } catch (const qx::Error &error) {
    return std::string("the saved scene does not read back: ") + error.what();
  }

  // Every stack the session did not touch is still there, byte for byte.
  const auto before = blocksOf(fixture.demoState);
  const auto after = blocksOf(saved);
  for (int row = 0; row < fixture.rows; ++row) {
    if (touched.count(row) != 0) continue;
    const std::string key = valueText(fixture.rowValues[static_cast<std::size_t>(row)]);
    const auto was = before.find(key);
    if (was == before.end()) continue;
    const auto is = after.find(key);
    if (is == after.end()) return "the untouched stack of value " + key + " is gone";
    if (is->second != was->second) return "the untouched stack of value " + key + " changed";
  }

  // The saved state loads back: opened and saved again, it gives the same lines.
  fs::copy_file(dir / "scene.json", dir / "reload.json");
  if (run(dir, qxhost + " panel --scene reload.json --script empty.txt --save") != 0)
    return "reloading the saved scene failed: " + readAll(dir / "err.txt");
  const std::vector<std::string> again = qx::Scene::load((dir / "reload.json").string())
                                             .filterState.value_or(std::vector<std::string>{});
  if (again != saved) return "the saved state does not load back to the same lines";

  fs::remove_all(dir);
  return "";
}

int soak(const Options &options) {
  fs::create_directories(options.work);
  Fixture fixture;
  const fs::path demo = fs::path(options.work) / "demo";
  fs::remove_all(demo);
  fs::create_directories(demo);
  if (run(demo, "'" + options.qxhost + "' demo --out-dir .") != 0) {
    std::fprintf(stderr, "qx_soak: qxhost demo failed: %s\n", readAll(demo / "err.txt").c_str());
    return 2;
  }
  fixture.demoScene = demo / "scene.json";
  const qx::Scene scene = qx::Scene::load(fixture.demoScene.string());
  fixture.demoState = scene.filterState.value_or(std::vector<std::string>{});
  fixture.rowValues = rowValuesOf(scene);
  fixture.rows = static_cast<int>(fixture.rowValues.size());

  std::atomic<int> next{0}, passed{0}, failed{0};
  std::mutex report;
  auto worker = [&] {
    for (int number = next++; number < options.sessions; number = next++) {
      const std::string problem = playSession(options, fixture, number);
      const std::lock_guard<std::mutex> lock(report);
      if (problem.empty()) {
        ++passed;
      } else {
        ++failed;
        std::fprintf(stderr, "qx_soak: session %d (%s): %s\n", number,
                     (fs::path(options.work) / ("session-" + std::to_string(number))).c_str(),
                     problem.c_str());
      }
    }
  };
  std::vector<std::thread> workers;
  for (int j = 0; j < std::max(1, options.jobs); ++j) workers.emplace_back(worker);
  for (std::thread &thread : workers) thread.join();
  std::printf("%d passed, %d failed\n", passed.load(), failed.load());
  return failed.load() == 0 ? 0 : 1;
}

const char kUsage[] =
    "Random panel sessions over the demo scene, each saved and loaded back\n"
    "usage: qx_soak --qxhost PATH [--work DIR] [--sessions N] [--seed N] [--jobs N]\n"
    "  --qxhost PATH   the qxhost to run (required)\n"
    "  --work DIR      the folder for the sessions' files (default: a qx_soak folder in /tmp)\n"
    "  --sessions N    how many sessions (default 2000)\n"
    "  --seed N        the first session's seed (default 1)\n"
    "  --jobs N        sessions at a time (default 2)\n";

// A whole number of at least `least`, or false.
bool parseCount(const std::string &text, long least, long &value) {
  char *end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && value >= least && value <= 1000000000L;
}

// Reads the options; false, having said why, for a command line that does
// not fit the usage.
bool parseOptions(int argc, char **argv, Options &options) {
  options.work = (fs::temp_directory_path() / "qx_soak").string();
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "-h" || name == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "qx_soak: %s needs a value\n%s", name.c_str(), kUsage);
      return false;
    }
    const std::string value = argv[++i];
    long number = 0;
    bool fits = true;
    if (name == "--qxhost") {
      options.qxhost = value;
    } else if (name == "--work") {
      options.work = value;
    } else if (name == "--sessions" && (fits = parseCount(value, 0, number))) {
      options.sessions = static_cast<int>(number);
    } else if (name == "--seed" && (fits = parseCount(value, 0, number))) {
      options.seed = static_cast<unsigned int>(number);
    } else if (name == "--jobs" && (fits = parseCount(value, 1, number))) {
      options.jobs = static_cast<int>(number);
    } else if (fits) {
      std::fprintf(stderr, "qx_soak: unknown option %s\n%s", name.c_str(), kUsage);
      return false;
    }
    if (!fits) {
      std::fprintf(stderr, "qx_soak: %s takes a whole number, not \"%s\"\n", name.c_str(),
                   value.c_str());
      return false;
    }
  }
  if (options.qxhost.empty()) {
    std::fprintf(stderr, "qx_soak: --qxhost is required\n%s", kUsage);
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return 2;
  options.qxhost = fs::absolute(options.qxhost).string();
  try {
    return soak(options);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "qx_soak: %s\n", error.what());
    return 2;
  }
}
