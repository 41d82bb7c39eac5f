// End-to-end stories of files qxhost must not lose: failed and killed writes,
// outputs that would replace inputs, stored states and stacks a save would
// throw away, and inputs whose cost or meaning the user would not see.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfStdIO.h>
#include <ImfVersion.h>
#include <ImfXdr.h>
#include <half.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "qxhost_run.h"

namespace {

using e2e::freshDir;
using e2e::Outcome;
using e2e::qxhost;
using e2e::readAll;
using e2e::writeFile;

// Runs qxhost in `cwd` under a file-size limit of `blocks` blocks of 512
// bytes, the shell's unit.
Outcome limited(int blocks, const std::string &args, const std::string &cwd) {
  return qxhost(args, cwd + "' && ulimit -f " + std::to_string(blocks) + " && cd '.");
}

std::set<std::string> namesIn(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &item : std::filesystem::directory_iterator(dir)) {
    names.insert(item.path().filename().string());
  }
  return names;
}

// A demo scene in `dir` whose first entry holds `layers` stored layers.
void writeLargeScene(const std::string &dir, const std::string &name, int layers) {
  ASSERT_EQ(qxhost("demo --out-dir demo --force", dir).status, 0);
  nlohmann::json scene = nlohmann::json::parse(readAll(dir + "/demo/scene.json"));
  std::vector<std::string> state = {"-3 1 " + std::to_string(layers),
                                    "1.000000 " + std::to_string(layers) + " "};
  for (int i = 0; i < layers; ++i) {
    state.push_back("0 1 " + std::to_string(i % 256) + " 255 255 100.000000 0 0 0 0 100.000000 0");
  }
  scene["filter"]["state"] = state;
  writeFile(dir + "/" + name, scene.dump(2));
}

TEST(NothingLost, AWriteThatFailsLeavesTheOldFileByteForByteAndNoTemporaryFile) {
  const std::string dir = freshDir("failed_writes");
  writeLargeScene(dir, "s.json", 3000);
  writeFile(dir + "/old.exr", "the old frame");
  writeFile(dir + "/old.png", "the old picture");
  writeFile(dir + "/old.json", "the old dump");
  const std::set<std::string> before = namesIn(dir);
  const std::string scene = readAll(dir + "/s.json");
  ASSERT_GT(scene.size(), 64u * 512u) << "the scene must be larger than the limit";

  struct Case {
    int blocks;
    std::string args, target;
  };
  const std::vector<Case> cases = {
      {64, "panel --scene s.json --save", "s.json"},
      {64, "render --scene demo/scene.json --frame demo/frame.exr --out old.exr", "old.exr"},
      {64, "render --scene demo/scene.json --frame demo/frame.exr --out old.png", "old.png"},
      {1, "panel --scene demo/scene.json --dump old.json", "old.json"},
      {1, "panel --scene demo/scene.json --canvas old.png", "old.png"},
  };
  for (const Case &c : cases) {
    const std::string old = readAll(dir + "/" + c.target);
    const Outcome run = limited(c.blocks, c.args, dir);
    EXPECT_EQ(run.status, 2) << c.args << "\n" << run.err;
    EXPECT_EQ(run.err, "qxhost: " + c.target + ": cannot write: File too large\n") << c.args;
    EXPECT_EQ(readAll(dir + "/" + c.target), old) << c.args << " changed " << c.target;
    EXPECT_EQ(namesIn(dir), before) << c.args << " left a file behind";
  }
}

TEST(NothingLost, ASaveKilledWhileWritingLeavesTheOldSceneOrTheWholeNewOne) {
  const std::string dir = freshDir("killed_save");
  writeLargeScene(dir, "s.json", 20000);
  writeFile(dir + "/add.txt", "select \"BufferList\" 0\nclick \"Add Layer\"\n");
  const std::string old = readAll(dir + "/s.json");
  // The whole new scene, from an undisturbed run on a copy.
  writeFile(dir + "/copy.json", old);
  ASSERT_EQ(qxhost("panel --scene copy.json --script add.txt --save", dir).status, 0);
  const std::string whole = readAll(dir + "/copy.json");
  ASSERT_NE(whole, old);
  std::filesystem::remove(dir + "/copy.json");

  int killedMidWrite = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::set<std::string> before = namesIn(dir);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (chdir(dir.c_str()) != 0) _exit(127);
      execl(QXHOST_PATH, QXHOST_PATH, "panel", "--scene", "s.json", "--script", "add.txt", "--save",
            static_cast<char *>(nullptr));
      _exit(127);
    }
    // The kill comes the moment a new file shows beside the scene, or the
    // scene itself changes: in the middle of the write.
    bool midWrite = false;
    for (int polls = 0; polls < 60000; ++polls) {
      if (namesIn(dir) != before || readAll(dir + "/s.json").size() != old.size()) {
        midWrite = true;
        break;
      }
      if (waitpid(child, nullptr, WNOHANG) == child) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    killedMidWrite += midWrite ? 1 : 0;

    const std::string after = readAll(dir + "/s.json");
    EXPECT_TRUE(after == old || after == whole)
        << "the scene is neither the old one nor the whole new one (" << after.size()
        << " bytes; old " << old.size() << ", new " << whole.size() << ")";
    EXPECT_TRUE(nlohmann::json::accept(after)) << "the scene is no JSON after the kill";
    writeFile(dir + "/s.json", old);
    for (const std::string &name : namesIn(dir)) {
      if (before.count(name) == 0) std::filesystem::remove(dir + "/" + name);
    }
  }
  EXPECT_GT(killedMidWrite, 0) << "no kill landed while the scene was being written";
}

TEST(NothingLost, AnOutputThatIsAnInputOrAnExistingDemoFileIsRefusedBeforeAnythingIsWritten) {
  const std::string dir = freshDir("refusals");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  std::filesystem::create_symlink("demo/scene.json", dir + "/link.json");
  std::filesystem::create_directories(dir + "/folder");
  const std::string scene = readAll(dir + "/demo/scene.json");
  const std::string frame = readAll(dir + "/demo/frame.exr");

  struct Case {
    std::string args, err;
  };
  const std::vector<Case> cases = {
      {"render --scene demo/scene.json --frame demo/frame.exr --out ./demo/../demo/frame.exr",
       "qxhost: ./demo/../demo/frame.exr: the output is the same file as the frame "
       "(demo/frame.exr); choose another output\n"},
      {"panel --scene demo/scene.json --dump link.json",
       "qxhost: link.json: the dump is the same file as the scene (demo/scene.json); choose "
       "another output\n"},
      {"panel --scene demo/scene.json --canvas demo/scene.json",
       "qxhost: demo/scene.json: the canvas is the same file as the scene (demo/scene.json); "
       "choose another output\n"},
      {"demo --out-dir demo", "qxhost: demo/scene.json: already exists; --force writes over it\n"},
      {"panel --scene demo/scene.json --script folder --save",
       "qxhost: folder: is a folder, not a script\n"},
      {"render --scene demo/scene.json --frame folder --out out.png",
       "qxhost: folder: is a folder, not a frame\n"},
      {"state --scene folder", "qxhost: folder: is a folder, not a scene file\n"},
  };
  for (const Case &c : cases) {
    const Outcome run = qxhost(c.args, dir);
    EXPECT_EQ(run.status, 2) << c.args;
    EXPECT_EQ(run.err, c.err) << c.args;
    EXPECT_EQ(readAll(dir + "/demo/scene.json"), scene) << c.args << " changed the scene";
    EXPECT_EQ(readAll(dir + "/demo/frame.exr"), frame) << c.args << " changed the frame";
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.png")) << c.args;
  }
  EXPECT_EQ(qxhost("demo --out-dir demo --force", dir).status, 0);
}

// The demo scene with its stored state changed by `edit`, as `name`.
void writeDemoVariant(const std::string &dir, const std::string &name,
                      const std::function<void(nlohmann::json &)> &edit) {
  ASSERT_EQ(qxhost("demo --out-dir demo --force", dir).status, 0);
  nlohmann::json scene = nlohmann::json::parse(readAll(dir + "/demo/scene.json"));
  edit(scene);
  writeFile(dir + "/" + name, scene.dump(2));
}

TEST(NothingLost, AStoredStateTheModuleRefusesStopsRenderStateAndSaveUnlessTheUserInsists) {
  const std::string dir = freshDir("refused_state");
  // The header announces one layer line more than the entries hold.
  writeDemoVariant(dir, "s.json",
                   [](nlohmann::json &scene) { scene["filter"]["state"][0] = "-3 6 13"; });
  const std::string before = readAll(dir + "/s.json");
  const std::string why =
      "qxhost: s.json: filter.state line 1: the module refused the stored state (\"Quintessalux "
      "Error...セーブデータのバージョンに互換性がありません\"): the entries hold 12 layer lines, "
      "the header announces 13: \"-3 6 13\"";

  Outcome run = qxhost("render --scene s.json --frame demo/frame.exr --out out.png", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(why + "; nothing rendered"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.png"));
  run =
      qxhost("render --scene s.json --frame demo/frame.exr --out out.png --ignore-bad-state", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("qxhost: warning: s.json: filter.state line 1"), std::string::npos);

  EXPECT_EQ(qxhost("state --scene s.json", dir).status, 2);
  EXPECT_EQ(qxhost("state --scene s.json --ignore-bad-state", dir).status, 0);

  run = qxhost("panel --scene s.json --save", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(why + "; not opened"), std::string::npos) << run.err;
  EXPECT_EQ(readAll(dir + "/s.json"), before) << "the refused state was saved over";
  EXPECT_EQ(qxhost("panel --scene s.json --save --force", dir).status, 0);

  // A stack cut short is found at its first missing line.
  writeDemoVariant(dir, "short.json", [](nlohmann::json &scene) {
    scene["filter"]["state"].erase(scene["filter"]["state"].size() - 1);
  });
  run = qxhost("state --scene short.json", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("short.json: filter.state line 19: the module refused the stored state"),
            std::string::npos)
      << run.err;
}

TEST(NothingLost, ASaveThatWouldDropStoredStacksNamesEachAndNeedsForce) {
  const std::string dir = freshDir("dropped_stacks");
  // No surface carries 6 any more, and 300 sits past the first 256 values.
  writeDemoVariant(dir, "s.json", [](nlohmann::json &scene) {
    scene["surfaces"].erase(5);
    for (int v = 7; v <= 300; ++v) {
      scene["surfaces"].push_back({{"name", "S" + std::to_string(v)}, {"SpecialBuffer1", v}});
    }
    nlohmann::json &state = scene["filter"]["state"];
    state[0] = "-3 7 13";
    state.push_back("300.000000 1 ");
    state.push_back("0 1 255 255 255 100.000000 0 0 0 0 100.000000 0");
  });
  const std::string before = readAll(dir + "/s.json");
  Outcome run = qxhost("panel --scene s.json --save", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "qxhost: s.json: the save would drop the stored stack of 6.000000 (entry 6): no "
            "surface carries 6.000000 any more\n"
            "qxhost: s.json: the save would drop the stored stack of 300.000000 (entry 7): past "
            "the first 256 special-buffer values\n"
            "qxhost: s.json: not opened, so as not to save without those stacks (--force saves "
            "anyway)\n");
  EXPECT_EQ(readAll(dir + "/s.json"), before);
  run = qxhost("panel --scene s.json --save --force", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(readAll(dir + "/s.json"))["filter"]["state"][0], "-3 5 10");
}

TEST(NothingLost, SpecialBufferValuesNoFloatCanHoldAreNamedOnceWithTheNearestFloat) {
  const std::string dir = freshDir("unmatchable");
  nlohmann::json scene = {{"surfaces", nlohmann::json::array()}};
  scene["surfaces"].push_back({{"name", "Exact"}, {"SpecialBuffer1", 0.5}});
  for (int i = 1; i <= 14; ++i) {
    scene["surfaces"].push_back({{"name", "S" + std::to_string(i)}, {"SpecialBuffer1", i / 10.0}});
  }
  writeFile(dir + "/s.json", scene.dump());
  const Outcome run = qxhost("flags --scene s.json", dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err.find("qxhost: warning: s.json: 12 surfaces have a SpecialBuffer1 that is no "
                         "32-bit float"),
            0u)
      << run.err; // 0.5 and 1.0, floats, are not named
  EXPECT_NE(run.err.find("  \"S1\": 0.10000000000000001, nearest float 0.100000001\n"),
            std::string::npos);
  EXPECT_EQ(run.err.find("\"S10\""), std::string::npos) << "S10 is 1.0, a float";
  EXPECT_NE(run.err.find("  and 2 more\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Exact"), std::string::npos);
}

TEST(NothingLost, AFrameLargerThanMaxPixelsIsRefusedBeforeItIsRead) {
  const std::string dir = freshDir("max_pixels");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  {
    // A header declaring 16385 x 16384 with no pixels written: small on disk.
    Imf::Header header(16385, 16384);
    header.channels().insert("R", Imf::Channel(Imf::HALF));
    Imf::OutputFile file((dir + "/huge.exr").c_str(), header);
  }
  const Outcome huge = qxhost("render --scene demo/scene.json --frame huge.exr --out o.exr", dir);
  EXPECT_EQ(huge.status, 2);
  EXPECT_EQ(huge.err, "qxhost: huge.exr: the data window 16385x16384 is 268451840 pixels, more "
                      "than the 268435456 allowed (--max-pixels)\n");
  const Outcome capped = qxhost(
      "render --scene demo/scene.json --frame demo/frame.exr --out o.exr --max-pixels 1000", dir);
  EXPECT_EQ(capped.status, 2);
  EXPECT_NE(capped.err.find("more than the 1000 allowed"), std::string::npos) << capped.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/o.exr"));
}

// Runs qxhost in `cwd` in a memory cgroup (version 1, the machine has no
// swap) of `limit` bytes, so that a run that takes more is killed. `skip`
// gets the reason when the run cannot be bounded so: no cgroup to make,
// or a wrapper or sanitizer whose memory is not qxhost's.
Outcome inMemoryGroup(std::uint64_t limit, const std::string &args, const std::string &cwd,
                      std::string &skip) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  skip = "a sanitizer's shadow memory is charged to the group too";
  return {};
#endif
  if (!e2e::wrapper().empty()) {
    skip = "qxhost runs under QX_E2E_WRAPPER, whose memory the group would count";
    return {};
  }
  const std::string root = "/sys/fs/cgroup/memory";
  if (access((root + "/tasks").c_str(), W_OK) != 0) {
    skip = "no writable memory cgroup (version 1) at " + root;
    return {};
  }
  static int groups = 0;
  const std::string group =
      root + "/qx_e2e_" + std::to_string(getpid()) + "_" + std::to_string(++groups);
  std::filesystem::create_directory(group);
  writeFile(group + "/memory.limit_in_bytes", std::to_string(limit));
  const Outcome run = qxhost(args, cwd + "' && echo $$ > '" + group + "/tasks' && cd '.");
  rmdir(group.c_str());
  return run;
}

// A header of `channels` half channels over width x height pixels, and no
// pixels: a few kilobytes that say the frame is large.
void writeHeaderOnly(const std::string &path, int width, int height, int channels) {
  Imf::Header header(width, height);
  for (int c = 0; c < channels; ++c) {
    header.channels().insert("c" + std::to_string(c), Imf::Channel(Imf::HALF));
  }
  Imf::StdOFStream out(path.c_str());
  Imf::Xdr::write<Imf::StreamIO>(out, Imf::MAGIC);
  Imf::Xdr::write<Imf::StreamIO>(out, Imf::EXR_VERSION);
  header.writeTo(out);
  for (int chunk = 0; chunk < (height + 15) / 16; ++chunk) {
    Imf::Xdr::write<Imf::StreamIO>(out, std::uint64_t{0});
  }
}

// Memory is bounded by bytes, not pixels: a frame of many channels is read
// in smaller strips on fewer threads until it fits --max-memory, and one that
// cannot fit is refused from its header, before its pixels are read. The
// runs are held in a memory group that kills whatever goes past it.
TEST(NothingLost, AFrameOfManyChannelsIsReadWithinMaxMemoryOrRefusedFromItsHeader) {
  const std::string dir = freshDir("max_memory");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  // 2000 half channels of 16384 x 64 pixels: 43 KB on disk, 4 GB once
  // read without a bound.
  writeHeaderOnly(dir + "/wide.exr", 16384, 64, 2000);
  std::string skip;
  const std::string wide = "render --scene demo/scene.json --frame wide.exr --out o.exr";
  const Outcome unbounded =
      inMemoryGroup(512u << 20, wide + " --allow-missing --max-memory 1T", dir, skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(unbounded.status, 128 + SIGKILL)
      << "without the bound the group kills the read; stderr:\n"
      << unbounded.err;
  const Outcome refused = inMemoryGroup(512u << 20, wide + " --allow-missing", dir, skip);
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err.rfind("qxhost: wide.exr: reading the frame would take ", 0), 0u)
      << refused.err;
  EXPECT_NE(refused.err.find("(2000 channels of 16384x64 pixels, in strips of 16 rows on one "
                             "thread), more than the 2 GiB allowed (--max-memory)"),
            std::string::npos)
      << refused.err;

  // 120 half channels of noise, 1024 x 96: strips of 64 rows on two threads
  // would plan 154 MiB; strips of 16 rows on one thread fit in 70 MiB.
  {
    const int width = 1024, height = 96, channels = 120;
    Imf::Header header(width, height);
    Imf::FrameBuffer slices;
    std::vector<std::vector<half>> planes(channels);
    std::uint32_t seed = 1;
    for (int c = 0; c < channels; ++c) {
      const std::string name = c < 4 ? std::string(1, "RGBA"[c]) : "n" + std::to_string(c);
      planes[c].resize(static_cast<std::size_t>(width * height));
      for (half &value : planes[c]) {
        seed = seed * 1103515245u + 12345u;
        value.setBits(static_cast<unsigned short>((seed >> 16) & 0x3bff));
      }
      header.channels().insert(name, Imf::Channel(Imf::HALF));
      slices.insert(name, Imf::Slice(Imf::HALF, reinterpret_cast<char *>(planes[c].data()),
                                     sizeof(half), sizeof(half) * width));
    }
    Imf::OutputFile file((dir + "/noise.exr").c_str(), header);
    file.setFrameBuffer(slices);
    file.writePixels(height);
  }
  const std::string noise = "render --scene demo/scene.json --frame noise.exr --out n.exr "
                            "--allow-missing --verbose --threads 2";
  const Outcome fitted = inMemoryGroup(130u << 20, noise + " --max-memory 70M", dir, skip);
  EXPECT_EQ(fitted.status, 0) << fitted.err;
  EXPECT_NE(fitted.err.find("noise.exr: read in strips of 16 rows on 1 thread, about "),
            std::string::npos)
      << fitted.err;
  if (fitted.status == 0) {
    Imf::InputFile out((dir + "/n.exr").c_str());
    int written = 0;
    for (auto it = out.header().channels().begin(); it != out.header().channels().end(); ++it) {
      ++written;
    }
    EXPECT_EQ(written, 120) << "every channel carried through";
  }
  const Outcome tight = qxhost(noise + " --max-memory 40M", dir);
  EXPECT_EQ(tight.status, 2);
  EXPECT_EQ(tight.err.rfind("qxhost: noise.exr: reading the frame would take ", 0), 0u)
      << tight.err;
  EXPECT_NE(tight.err.find(" MiB (120 channels of 1024x96 pixels, in strips of 16 rows on one "
                           "thread), more than the 40 MiB allowed (--max-memory)\n"),
            std::string::npos)
      << tight.err;
}

// A file given where a scene, a script, a channel map or a plane belongs is
// looked at before it is read: one too large is refused unread, naming it,
// and so is an option out of its range.
TEST(NothingLost, InputsTooLargeAreRefusedUnreadAndOptionsOutOfRangeNameTheOption) {
  const std::string dir = freshDir("input_limits");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  // 300 MiB, sparse: nothing to read, but a size to refuse.
  writeFile(dir + "/huge.json", "");
  std::filesystem::resize_file(dir + "/huge.json", std::uintmax_t{300} << 20);
  std::filesystem::create_directory(dir + "/folder");
  const std::string render = "render --scene demo/scene.json --frame demo/frame.exr --out o.exr";
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"render --scene huge.json --frame demo/frame.exr --out o.exr",
       "qxhost: huge.json: the scene file holds 300 MiB, more than the 256 MiB a scene file may "
       "hold\n"},
      {"panel --scene demo/scene.json --script huge.json",
       "qxhost: huge.json: the script holds 300 MiB, more than the 256 MiB a script may hold\n"},
      {render + " --ch-map huge.json",
       "qxhost: huge.json: the channel map holds 300 MiB, more than the 256 MiB a channel map "
       "may hold\n"},
      {render + " --ch-map folder", "qxhost: folder: is a folder, not a channel map\n"},
  };
  for (const auto &[args, expected] : refusals) {
    const Outcome run = qxhost(args, dir);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_EQ(run.err, expected) << args;
  }

  // Planes: one of 20 GB without a magic number is refused from its first
  // bytes; one whose header says 20000 x 20000 floats, and whose size
  // agrees, from the memory the frame would take.
  std::filesystem::create_directories(dir + "/nomagic");
  writeFile(dir + "/nomagic/R.npy", "");
  std::filesystem::resize_file(dir + "/nomagic/R.npy", std::uintmax_t{20} << 30);
  std::filesystem::create_directories(dir + "/vast");
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (20000, 20000), }";
  header.append(128 - 10 - 1 - header.size(), ' ');
  header += '\n';
  writeFile(dir + "/vast/R.npy",
            std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(header.size()) + '\0' + header);
  std::filesystem::resize_file(dir + "/vast/R.npy", 128 + std::uintmax_t{20000} * 20000 * 4);
  const Outcome noMagic = qxhost("render --scene demo/scene.json --frame nomagic/ --out o/", dir);
  EXPECT_EQ(noMagic.err, "qxhost: nomagic/R.npy: not a .npy array the host reads: no .npy magic\n");
  const Outcome vast = qxhost("render --scene demo/scene.json --frame vast/ --out o/", dir);
  EXPECT_EQ(vast.status, 2);
  EXPECT_EQ(vast.err.rfind("qxhost: vast/: reading the frame would take ", 0), 0u) << vast.err;
  EXPECT_NE(vast.err.find("(1 planes of 400000000 pixels, held whole), more than the 2 GiB "
                          "allowed (--max-memory)"),
            std::string::npos)
      << vast.err;

  for (const char *threads : {"0", "257", "100000", "2147483648"}) {
    const Outcome run = qxhost(render + " --threads " + threads, dir);
    EXPECT_EQ(run.status, 2) << threads;
    EXPECT_NE(run.err.find("--threads: Value " + std::string(threads) + " not in range 1 to 256"),
              std::string::npos)
        << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/o.exr"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/o"));
}

} // namespace
