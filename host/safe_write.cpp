// Safe writes: temporary file, flush to disk, rename over the target.
#include "safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "error.h"

namespace qx {
namespace {

// The few calls that differ between the platforms. Windows has no links to
// follow here, no permission bits worth keeping and no folder to flush, and
// its plain rename refuses to replace an existing file.
#ifdef _WIN32
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_EXCL | O_BINARY;
bool isLink(const std::string &) { return false; }
void keepMode(int, const std::string &) {}
int flushToDisk(int fd) { return ::_commit(fd); }
void startFlush(int) {}
int replaceFile(const std::string &from, const std::string &to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  errno = EACCES;
  return -1;
}
void flushFolder(const std::string &) {}
#else
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
bool isLink(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}
// A replaced file keeps who may read and write it.
void keepMode(int fd, const std::string &final) {
  struct stat old {};
  if (stat(final.c_str(), &old) == 0) (void)fchmod(fd, old.st_mode & 07777);
}
int flushToDisk(int fd) { return ::fsync(fd); }
// Starts the disk writing what the file holds so far, without waiting: the
// flush at the commit is then left only the last bytes to wait for.
void startFlush(int fd) {
#ifdef SYNC_FILE_RANGE_WRITE
  (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}
int replaceFile(const std::string &from, const std::string &to) {
  return std::rename(from.c_str(), to.c_str());
}
// The rename itself reaches the disk with the folder's entry.
void flushFolder(const std::string &folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    (void)::fsync(fd);
    ::close(fd);
  }
}
#endif

constexpr std::size_t kFlushStep = std::size_t{8} << 20;

std::string folderOf(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a rename must replace so that a symbolic link keeps pointing at
// the new content: the link's target, followed as far as it goes.
std::string resolveLinks(const std::string &path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (!isLink(current)) return current;
    std::error_code ec;
    const std::filesystem::path link = std::filesystem::read_symlink(current, ec);
    if (ec) return current;
    current = link.is_absolute() ? link.string() : folderOf(current) + "/" + link.string();
  }
  return current;
}

// A name no other writer picks: the process, a counter and a random number.
std::string temporaryName(const std::string &final) {
  static std::atomic<unsigned> counter{0};
  static thread_local std::mt19937 random{std::random_device{}()};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%ld.%u.%08x.tmp", static_cast<long>(getpid()),
                counter.fetch_add(1), static_cast<unsigned>(random()));
  return folderOf(final) + "/." + baseOf(final) + suffix;
}

} // namespace

TempFile::TempFile(const std::string &target) : target_(target), final_(resolveLinks(target)) {
  struct stat info {};
  if (stat(final_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw Error(target_ + ": cannot write: it is a folder");
  }
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    path_ = temporaryName(final_);
    // 0666 and the umask, as for any new file the user makes.
    fd_ = ::open(path_.c_str(), kOpenFlags, 0666);
    if (fd_ < 0 && errno != EEXIST) fail(errno);
  }
  if (fd_ < 0) fail(EEXIST);
}

TempFile::~TempFile() {
  if (committed_) return;
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

void TempFile::fail(int errnum) const {
  throw Error(target_ + ": cannot write: " + std::strerror(errnum));
}

void TempFile::write(const void *data, std::size_t size) {
  const char *bytes = static_cast<const char *>(data);
  while (size > 0) {
    const auto wrote =
        ::write(fd_, bytes, static_cast<unsigned int>(std::min<std::size_t>(size, 1u << 30)));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (wrote == 0) fail(ENOSPC);
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
    unflushed_ += static_cast<std::size_t>(wrote);
  }
  // A large file goes to the disk while it is written, not all at the commit.
  if (unflushed_ >= kFlushStep) {
    startFlush(fd_);
    unflushed_ = 0;
  }
}

void TempFile::commit() {
  keepMode(fd_, final_);
  if (flushToDisk(fd_) != 0) fail(errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) fail(errno);
  if (replaceFile(path_, final_) != 0) fail(errno);
  committed_ = true;
  flushFolder(folderOf(final_));
}

void writeFileAtomically(const std::string &path, const std::string &bytes) {
  TempFile file(path);
  file.write(bytes.data(), bytes.size());
  file.commit();
}

void writeFileAtomically(const std::string &path, const std::function<void(std::ostream &)> &fill) {
  std::ostringstream text;
  fill(text);
  if (!text) throw Error(path + ": cannot write: the content could not be made");
  writeFileAtomically(path, text.str());
}

bool sameFile(const std::string &a, const std::string &b) {
  // Device and file number on every platform, whatever the spelling.
  std::error_code ec;
  const bool same = std::filesystem::equivalent(a, b, ec);
  return !ec && same;
}

} // namespace qx
