// Running the qxhost command from end-to-end tests. The test runner runs tests
// in processes of their own at the same time, so every file a run makes lives
// in a folder of this process, removed when the process ends.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace e2e {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// The whole file, read in one go (a missing file reads as empty). Fast
// enough for the polls of the kill tests, which read a large scene between
// two looks at a write in progress.
inline std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string processDir() {
  return testing::TempDir() + "qx_e2e_" + std::to_string(getpid());
}

class RemoveProcessDir : public testing::Environment {
public:
  void TearDown() override { std::filesystem::remove_all(processDir()); }
};
inline testing::Environment *const kRemoveProcessDir =
    testing::AddGlobalTestEnvironment(new RemoveProcessDir);

// A path for a file of this process.
inline std::string tempName(const std::string &name) {
  std::filesystem::create_directories(processDir());
  return processDir() + "/" + name;
}

// An empty folder of this process.
inline std::string freshDir(const std::string &name) {
  const std::string dir = tempName(name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The command that qxhost runs under, from QX_E2E_WRAPPER: empty, or e.g. a
// memory checker with its options (make test-valgrind). A wrapper reports
// what it finds on stderr and through an exit status of its own, which the
// tests then see as a wrong status.
inline std::string wrapper() {
  const char *text = std::getenv("QX_E2E_WRAPPER");
  return text != nullptr && *text != '\0' ? std::string(text) + " " : std::string();
}

// Runs the qxhost at `program` (a copy of the built one, say) with `args` in
// the folder `cwd`, with `input` on its standard input, and collects its exit
// status and both outputs.
inline Outcome qxhostAt(const std::string &program, const std::string &args,
                        const std::string &cwd = ".", const std::string &input = "") {
  const std::string in = tempName("qxhost.stdin");
  const std::string out = tempName("qxhost.stdout");
  const std::string err = tempName("qxhost.stderr");
  writeFile(in, input);
  const std::string command = "cd '" + cwd + "' && " + wrapper() + "'" + program + "' " + args +
                              " <'" + in + "' >'" + out + "' 2>'" + err + "'";
  Outcome run;
  const int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = readAll(out);
  run.err = readAll(err);
  return run;
}

// Runs the built qxhost, as qxhostAt does.
inline Outcome qxhost(const std::string &args, const std::string &cwd = ".",
                      const std::string &input = "") {
  return qxhostAt(QXHOST_PATH, args, cwd, input);
}

} // namespace e2e
