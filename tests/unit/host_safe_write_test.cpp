// The safe writer's edges seen from a caller: the new content whole or the old
// file untouched, a link written through, and nothing left beside the target.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "base/error.h"
#include "base/safe_write.h"

namespace {

namespace fs = std::filesystem;

std::string freshDir(const std::string &name) {
  const std::string dir =
      testing::TempDir() + "host_safe_write_" + name + "_" + std::to_string(::getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t filesIn(const std::string &dir) {
  std::size_t count = 0;
  for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(SafeWrite, AFileIsReplacedWholeOrLeftAsItWasWithNothingBesideIt) {
  const std::string dir = freshDir("replace");
  const std::string target = dir + "/scene.json";
  qx::writeFileAtomically(target, std::string("old"));
  ::chmod(target.c_str(), 0640);
  qx::writeFileAtomically(target, std::string("new, and longer"));
  EXPECT_EQ(readAll(target), "new, and longer");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
      << "the replaced file keeps its permissions";
  // A writer that fails halfway leaves the old bytes; its content never
  // reached a file.
  EXPECT_THROW(qx::writeFileAtomically(target,
                                       [](std::ostream &out) {
                                         out << "half";
                                         throw std::runtime_error("stopped");
                                       }),
               std::runtime_error);
  EXPECT_EQ(readAll(target), "new, and longer");
  EXPECT_EQ(filesIn(dir), 1u) << "no temporary file is left beside the target";

  // Through a link the file it points to is replaced, and the link stays.
  const std::string link = dir + "/link.json";
  fs::create_symlink("scene.json", link);
  qx::writeFileAtomically(link, std::string("through"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readAll(target), "through");
  EXPECT_EQ(filesIn(dir), 2u);
}

TEST(SafeWrite, ATargetThatCannotBeMadeIsNamedAndNothingIsLeft) {
  const std::string dir = freshDir("missing");
  const std::string target = dir + "/no such folder/out.json";
  try {
    qx::writeFileAtomically(target, std::string("x"));
    ADD_FAILURE() << "a write into a missing folder succeeded";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()).rfind(target + ": cannot write: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(filesIn(dir), 0u);
}

} // namespace
