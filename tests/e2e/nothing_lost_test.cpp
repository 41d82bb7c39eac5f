// End-to-end stories of files qxhost must not lose: failed and killed writes,
// targets that are no plain files, outputs that would replace inputs, stored
// states and stacks a save would throw away, and inputs whose cost or
// meaning the user would not see.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfStdIO.h>
#include <ImfVersion.h>
#include <ImfXdr.h>
#include <fcntl.h>
#include <half.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "exr_make.h"
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

// A scene of 20,000 stored layers in `dir` as s.json, whose save takes long
// enough to be stopped mid-write, and add.txt, a session that changes it.
// `old` gets the scene, `whole` what an undisturbed save makes of it (run on
// a copy).
void writeSlowSave(const std::string &dir, std::string &old, std::string &whole) {
  writeLargeScene(dir, "s.json", 20000);
  writeFile(dir + "/add.txt", "select \"BufferList\" 0\nclick \"Add Layer\"\n");
  old = readAll(dir + "/s.json");
  writeFile(dir + "/copy.json", old);
  ASSERT_EQ(qxhost("panel --scene copy.json --script add.txt --save", dir).status, 0);
  whole = readAll(dir + "/copy.json");
  std::filesystem::remove(dir + "/copy.json");
}

TEST(NothingLost, ASaveKilledWhileWritingLeavesTheOldSceneOrTheWholeNewOne) {
  const std::string dir = freshDir("killed_save");
  std::string old, whole;
  writeSlowSave(dir, old, whole);
  ASSERT_NE(whole, old);

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
  scene["filter"]["state"] = {"-3 1 0", "0.300000 0 "}; // a stored entry of no float
  writeFile(dir + "/s.json", scene.dump());
  const Outcome run = qxhost("flags --scene s.json", dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err.find("qxhost: warning: s.json: 13 special-buffer values are no 32-bit float"),
            0u)
      << run.err; // 0.5 and 1.0, floats, are not named
  // The nearest float as the shortest text that reads back as exactly it:
  // written into a scene, it matches.
  EXPECT_NE(run.err.find("  \"S1\": 0.1, nearest float 0.10000000149011612\n"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("  filter.state entry 1: 0.3, nearest float 0.30000001192092896\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("\"S10\""), std::string::npos) << "S10 is 1.0, a float";
  EXPECT_NE(run.err.find("  and 3 more\n"), std::string::npos) << run.err;
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

// The kind of file at `path`, the link itself for a link.
mode_t kindAt(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// Everything a pipe's reader gets, read on a thread of its own while qxhost
// writes. finish() lets the reader go even when no writer ever came.
class PipeReader {
public:
  explicit PipeReader(const std::string &path)
      : path_(path), thread_([this] { got_ = readAll(path_); }) {}
  std::string finish() {
    const int unblock = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) close(unblock);
    thread_.join();
    return got_;
  }

private:
  std::string path_, got_;
  std::thread thread_;
};

TEST(NothingLost, DevicesAndPipesAreWrittenInPlaceAndOnlyRegularFilesAreReplaced) {
  const std::string dir = freshDir("special_targets");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  const std::string panel = "panel --scene demo/scene.json ";
  ASSERT_EQ(qxhost(panel + "--dump d.json", dir).status, 0);
  const std::string dump = readAll(dir + "/d.json");
  ASSERT_FALSE(dump.empty());

  // Standard output, as "-" and as /dev/stdout; the script from standard
  // input at the same time.
  Outcome run = qxhost(panel + "--dump -", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, dump) << "--dump - did not write the dump to standard output";
  run = qxhost(panel + "--dump /dev/stdout", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, dump);
  run = qxhost(panel + "--script - --dump -", dir, "select \"BufferList\" 0\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(nlohmann::json::accept(run.out)) << run.out.substr(0, 200);
  // The name of a descriptor open on a file is written through, as by the
  // shell's own redirect (which truncates it too), not replaced beside it.
  writeFile(dir + "/log.txt", "the old log");
  struct stat log {};
  ASSERT_EQ(stat((dir + "/log.txt").c_str(), &log), 0);
  run = qxhost(panel + "--dump /dev/fd/3 3>>log.txt", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readAll(dir + "/log.txt"), dump);
  struct stat logAfter {};
  ASSERT_EQ(stat((dir + "/log.txt").c_str(), &logAfter), 0);
  EXPECT_EQ(logAfter.st_ino, log.st_ino) << "descriptor 3's file was replaced, not written into";

  // A pipe with a reader gets the bytes, a dump and an EXR frame alike (the
  // library seeks back in an EXR file, which a pipe cannot), and stays a pipe.
  const std::set<std::string> before = namesIn(dir);
  for (const char *name : {"pipe.json", "pipe.exr"}) {
    ASSERT_EQ(mkfifo((dir + "/" + name).c_str(), 0600), 0) << name;
  }
  PipeReader dumpReader(dir + "/pipe.json");
  run = qxhost(panel + "--dump pipe.json", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(dumpReader.finish(), dump) << "the pipe's reader did not get the dump";
  const std::string render = "render --scene demo/scene.json --frame demo/frame.exr --out ";
  ASSERT_EQ(qxhost(render + "o.exr", dir).status, 0);
  PipeReader frameReader(dir + "/pipe.exr");
  run = qxhost(render + "pipe.exr", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(frameReader.finish() == readAll(dir + "/o.exr"))
      << "the pipe's reader did not get the frame a file gets";
  EXPECT_EQ(kindAt(dir + "/pipe.json"), S_IFIFO);
  EXPECT_EQ(kindAt(dir + "/pipe.exr"), S_IFIFO);

  // A socket is refused, with the reason, and stays.
  {
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir + "/sock";
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    close(sock);
  }
  run = qxhost(panel + "--dump sock", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: sock: cannot write: it is a socket; only a file, a character "
                     "device or a pipe is written\n");
  EXPECT_EQ(kindAt(dir + "/sock"), S_IFSOCK);

  // A device of its own, the system's null device by number: written into
  // directly and through a link, read as a script and written as a dump in
  // one run (no regular file, so no output over an input), and still the
  // device afterwards.
  const std::string device = dir + "/null";
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "mknod: " << std::strerror(errno) << "; the device targets need root";
  }
  std::filesystem::create_symlink("null", dir + "/null.exr");
  for (const std::string &args : {panel + "--dump null", panel + "--dump null.exr --canvas null",
                                  panel + "--script null --dump null", render + "null.exr"}) {
    run = qxhost(args, dir);
    EXPECT_EQ(run.status, 0) << args << "\n" << run.err;
    struct stat info {};
    ASSERT_EQ(lstat(device.c_str(), &info), 0) << args;
    EXPECT_TRUE(S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3))
        << args << " replaced the device";
    EXPECT_EQ(kindAt(dir + "/null.exr"), S_IFLNK) << args;
  }
  std::set<std::string> expected = before;
  expected.insert({"pipe.json", "pipe.exr", "o.exr", "sock", "null", "null.exr"});
  EXPECT_EQ(namesIn(dir), expected) << "a file was left behind";
}

// Runs qxhost as `nobody` through setpriv (on top of any wrapper).
Outcome asNobody(const std::string &args, const std::string &cwd) {
  const std::string wrapped = e2e::wrapper();
  const std::string asUser = "setpriv --reuid=nobody --regid=nogroup --clear-groups " + wrapped;
  setenv("QX_E2E_WRAPPER", asUser.c_str(), 1);
  const Outcome run = qxhost(args, cwd);
  if (wrapped.empty()) {
    unsetenv("QX_E2E_WRAPPER");
  } else {
    setenv("QX_E2E_WRAPPER", wrapped.c_str(), 1);
  }
  return run;
}

TEST(NothingLost, AReplacedFileKeepsItsOwnerNotItsSetuidBitAndWhatTheShellCouldNotWriteStays) {
  const std::string dir = freshDir("replaced_files");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  const std::string panel = "panel --scene demo/scene.json ";
  ASSERT_EQ(qxhost(panel + "--dump d.json", dir).status, 0);
  const std::string dump = readAll(dir + "/d.json");

  // A name as long as most file systems allow but for 15 characters: the
  // usual temporary name beside it would not fit, a shorter one does.
  const std::string longName = std::string(235, 'n') + ".json";
  std::set<std::string> names = namesIn(dir);
  names.insert(longName);
  for (int pass = 0; pass < 2; ++pass) { // made, then replaced
    const Outcome run = qxhost(panel + "--dump " + longName, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readAll(dir + "/" + longName), dump);
    EXPECT_EQ(namesIn(dir), names) << "a temporary file was left behind";
  }

  if (geteuid() != 0) GTEST_SKIP() << "owners, setuid bits and other users need root";
  constexpr uid_t kNobody = 65534;
  constexpr gid_t kNogroup = 65534;
  // Another user's set-user-ID file with a second name, replaced by root.
  writeFile(dir + "/out.exr", "the old frame");
  ASSERT_EQ(link((dir + "/out.exr").c_str(), (dir + "/also.exr").c_str()), 0);
  ASSERT_EQ(chown((dir + "/out.exr").c_str(), kNobody, kNogroup), 0);
  ASSERT_EQ(chmod((dir + "/out.exr").c_str(), 06755), 0);
  Outcome run =
      qxhost("render --scene demo/scene.json --frame demo/frame.exr --out out.exr --verbose", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("qxhost: out.exr: has 1 other name (hard links); the new file takes "
                         "this name only, the other keeps the old content\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(readAll(dir + "/also.exr"), "the old frame");
  struct stat info {};
  ASSERT_EQ(stat((dir + "/out.exr").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody) << "root took the file over";
  EXPECT_EQ(info.st_gid, kNogroup);
  EXPECT_EQ(info.st_mode & 07777, 0755u) << "the set-user-ID or set-group-ID bit was kept";
  EXPECT_GT(info.st_size, 1000) << "the frame was not written";

  // A write-protected file of nobody's own, in a folder nobody may write:
  // nobody's shell could not write it, and neither may qxhost; root's may.
  if (std::system("setpriv --help >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no setpriv to run qxhost as another user";
  const std::string mine = freshDir("replaced_files/nobody");
  ASSERT_EQ(chmod(mine.c_str(), 0777), 0);
  writeFile(mine + "/ro.json", "protected");
  ASSERT_EQ(chown((mine + "/ro.json").c_str(), kNobody, kNogroup), 0);
  ASSERT_EQ(chmod((mine + "/ro.json").c_str(), 0444), 0);
  const std::string nobodysPanel = "panel --scene ../demo/scene.json ";
  run = asNobody(nobodysPanel + "--dump ro.json", mine);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_EQ(run.err, "qxhost: ro.json: cannot write: Permission denied\n");
  EXPECT_EQ(readAll(mine + "/ro.json"), "protected");
  EXPECT_EQ(namesIn(mine), std::set<std::string>{"ro.json"}) << "a file was left behind";
  run = asNobody(nobodysPanel + "--dump new.json", mine);
  EXPECT_EQ(run.status, 0) << "nobody cannot write in the folder at all: " << run.err;
  run = qxhost(nobodysPanel + "--dump ro.json", mine);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readAll(mine + "/ro.json"), dump);
}

TEST(NothingLost, AWriteStoppedBySigintSigtermOrSighupLeavesNoTemporaryAndExits128PlusTheSignal) {
  const std::string dir = freshDir("stopped_save");
  std::string old, whole;
  writeSlowSave(dir, old, whole);
  // Another writer's temporary file: it may be alive on another machine.
  writeFile(dir + "/.s.json.1.0.0badf00d.tmp", "another writer's");
  const std::set<std::string> before = namesIn(dir);

  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) {
    int landed = 0;
    for (int attempt = 0; attempt < 4 && landed == 0; ++attempt) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
        if (chdir(dir.c_str()) != 0) _exit(127);
        execl(QXHOST_PATH, QXHOST_PATH, "panel", "--scene", "s.json", "--script", "add.txt",
              "--save", static_cast<char *>(nullptr));
        _exit(127);
      }
      // The signal comes the moment the temporary file shows.
      for (int polls = 0; polls < 60000 && namesIn(dir) == before; ++polls) {
        if (waitpid(child, nullptr, WNOHANG) == child) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      kill(child, stop);
      int status = 0;
      waitpid(child, &status, 0);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) { // done before the signal came
        writeFile(dir + "/s.json", old);
        continue;
      }
      ++landed;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + stop)
          << "signal " << stop << ": status " << status << ", expected an exit with " << 128 + stop;
      EXPECT_EQ(namesIn(dir), before) << "signal " << stop << " left a file behind";
      const std::string after = readAll(dir + "/s.json");
      EXPECT_TRUE(after == old || after == whole)
          << "signal " << stop << ": the scene is neither the old one nor the whole new one";
      writeFile(dir + "/s.json", old);
    }
    EXPECT_GT(landed, 0) << "signal " << stop << " never came while the scene was written";
  }
  EXPECT_EQ(readAll(dir + "/.s.json.1.0.0badf00d.tmp"), "another writer's");
}

// A small tmpfs mounted at a folder for as long as it lives.
class SmallDisk {
public:
  explicit SmallDisk(const std::string &folder) : folder_(folder) {
    std::filesystem::create_directories(folder);
    mounted_ = geteuid() == 0 && run("mount -t tmpfs -o size=5m tmpfs '" + folder + "'");
  }
  ~SmallDisk() {
    if (mounted_) run("umount '" + folder_ + "'");
  }
  SmallDisk(const SmallDisk &) = delete;
  SmallDisk &operator=(const SmallDisk &) = delete;
  bool mounted() const { return mounted_; }
  bool grow() { return run("mount -o remount,size=64m '" + folder_ + "'"); }

private:
  static bool run(const std::string &command) {
    return std::system((command + " 2>/dev/null").c_str()) == 0;
  }
  std::string folder_;
  bool mounted_ = false;
};

// Every file of a folder with its bytes.
std::map<std::string, std::string> contentsOf(const std::string &dir) {
  std::map<std::string, std::string> files;
  for (const std::string &name : namesIn(dir)) files[name] = readAll(dir + "/" + name);
  return files;
}

TEST(NothingLost, APlaneFolderThatCannotBeWrittenWholeKeepsEveryOldPlane) {
  const std::string dir = freshDir("plane_folder");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  SmallDisk disk(dir + "/disk");
  if (!disk.mounted()) GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
  // Old planes of an 8x8 frame, among them the first and the last a new
  // frame writes, and a file that is no plane.
  e2e::MadePart part{"old", e2e::box(0, 0, 7, 7), e2e::box(0, 0, 7, 7), {}, 0, Imf::Header()};
  for (const char *name : {"SpecialBuffer", "Luminous", "R", "G", "B", "A"}) {
    part.channels.push_back({name, Imf::FLOAT, std::vector<double>(64, 0.25)});
  }
  e2e::writeParts(dir + "/small.exr", {part});
  ASSERT_EQ(qxhost("planes --frame small.exr --out-dir disk/pl", dir).status, 0);
  writeFile(dir + "/disk/pl/notes.txt", "not a plane");
  const std::map<std::string, std::string> old = contentsOf(dir + "/disk/pl");
  ASSERT_EQ(old.size(), 7u);

  // The demo's planes are 2 MB each: two fit in the 5 MB disk, the third
  // does not.
  for (const std::string &args :
       {std::string("planes --frame demo/frame.exr --out-dir disk/pl"),
        std::string("render --scene demo/scene.json --frame demo/frame.exr --out disk/pl/")}) {
    const Outcome run = qxhost(args, dir);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_NE(run.err.find(": cannot write: No space left on device"), std::string::npos)
        << args << "\n"
        << run.err;
    EXPECT_TRUE(contentsOf(dir + "/disk/pl") == old)
        << args << " changed a plane, or left a file in the folder";
    EXPECT_EQ(namesIn(dir + "/disk"), std::set<std::string>{"pl"}) << args;
  }
  // With room the same planes replace the old ones, and the other file stays.
  ASSERT_TRUE(disk.grow());
  EXPECT_EQ(qxhost("planes --frame demo/frame.exr --out-dir disk/pl", dir).status, 0);
  EXPECT_NE(readAll(dir + "/disk/pl/R.npy"), old.at("R.npy"));
  EXPECT_EQ(readAll(dir + "/disk/pl/notes.txt"), "not a plane");
}

TEST(NothingLost, PlanesTheChannelMapAndTheModulesExportsMayNotReplaceTheRunsInputs) {
  const std::string dir = freshDir("more_inputs");
  ASSERT_EQ(qxhost("demo --out-dir demo", dir).status, 0);
  const std::string frame = readAll(dir + "/demo/frame.exr");

  // An EXR frame named as a plane, in the folder its planes go to.
  std::filesystem::create_directories(dir + "/pl");
  writeFile(dir + "/pl/R.npy", frame);
  Outcome run = qxhost("planes --frame pl/R.npy --out-dir pl", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: pl/R.npy: the plane R.npy is the same file as the frame "
                     "(pl/R.npy); choose another output\n");
  EXPECT_TRUE(readAll(dir + "/pl/R.npy") == frame) << "the frame was replaced";
  EXPECT_EQ(namesIn(dir + "/pl"), std::set<std::string>{"R.npy"});

  // A folder of planes rendered into itself.
  ASSERT_EQ(qxhost("planes --frame demo/frame.exr --out-dir planes", dir).status, 0);
  const std::string red = readAll(dir + "/planes/R.npy");
  run = qxhost("render --scene demo/scene.json --frame planes/ --out planes/", dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: planes/R.npy: the output's plane R.npy is the same file as the "
                     "frame's plane R.npy (planes/R.npy); choose another output\n");
  EXPECT_TRUE(readAll(dir + "/planes/R.npy") == red);

  // The channel map is an input too (of edit, where this qxhost has it).
  writeFile(dir + "/map.json", "{\"R\": \"R\"}");
  if (qxhost("edit --help", dir).status == 0) {
    run = qxhost("edit --scene demo/scene.json --ch-map map.json --dump map.json", dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "qxhost: map.json: the dump is the same file as the channel map "
                       "(map.json); choose another output\n");
    EXPECT_EQ(readAll(dir + "/map.json"), "{\"R\": \"R\"}");
  } else {
    std::printf("this qxhost has no edit: its channel map is not tried\n");
  }

  // The module's Export, answered with the scene, is cancelled; with
  // another name it writes.
  writeFile(dir + "/s.json", readAll(dir + "/demo/scene.json"));
  const std::string scene = readAll(dir + "/s.json");
  writeFile(dir + "/export.txt", "select 0 1\nfile s.json\nclick \"Export\"\n"
                                 "file sets.QXD\nclick \"Export\"\n");
  run = qxhost("panel --scene s.json --script export.txt", dir);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("/s.json: refused for a save: it is the scene (s.json), an input of "
                         "this run\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(readAll(dir + "/s.json"), scene) << "the export replaced the scene";
  EXPECT_FALSE(readAll(dir + "/sets.QXD").empty()) << "the export to another file was refused";
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
