// Safe writes: temporary file, flush to disk, rename over the target; and
// the removal of temporary files when the process is told to stop.
#include "base/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "base/error.h"

namespace qx {
namespace {

// The temporary files alive in this process, where a signal handler can
// read them: fixed slots, no allocation, each guarded by an atomic state.
// A slot is claimed before its file is made and released after the file is
// renamed or removed, so a signal in between at worst removes a name that
// is gone (every name holds this process's number, so it is no other's).
enum SlotState : int { kSlotFree, kSlotBusy, kSlotLive };
constexpr int kLiveSlots = 64;
constexpr std::size_t kLivePathBytes = 4096;
struct LiveSlot {
  std::atomic<int> state{kSlotFree};
  char path[kLivePathBytes];
};
LiveSlot liveTemporaries[kLiveSlots];

// -1 when every slot is taken or the path does not fit: the file is then
// still removed by its TempFile, only not on a signal.
int claimSlot(const std::string &path) {
  if (path.size() >= kLivePathBytes) return -1;
  for (int i = 0; i < kLiveSlots; ++i) {
    int expected = kSlotFree;
    if (!liveTemporaries[i].state.compare_exchange_strong(expected, kSlotBusy)) continue;
    std::memcpy(liveTemporaries[i].path, path.c_str(), path.size() + 1);
    liveTemporaries[i].state.store(kSlotLive);
    return i;
  }
  return -1;
}

void releaseSlot(int &slot) {
  if (slot < 0) return;
  liveTemporaries[slot].state.store(kSlotBusy);
  liveTemporaries[slot].path[0] = '\0';
  liveTemporaries[slot].state.store(kSlotFree);
  slot = -1;
}

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots' states");

// The few calls that differ between the platforms. Windows has no links to
// follow here, no permission bits or owners worth keeping and no folder to
// flush, and its plain rename refuses to replace an existing file.
#ifdef _WIN32
// What a failed Windows call means, as an errno value.
int errnoOf(DWORD error) {
  switch (error) {
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return EEXIST;
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
    return ENOENT;
  case ERROR_FILENAME_EXCED_RANGE:
    return ENAMETOOLONG;
  case ERROR_DISK_FULL:
    return ENOSPC;
  default:
    return EACCES;
  }
}
// Opened so that it may be deleted while open: the console's events
// remove temporary files that another thread is writing.
int createExclusive(const std::string &path) {
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errnoOf(GetLastError());
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}
constexpr int kInPlaceFlags = O_WRONLY | O_TRUNC | O_BINARY;
bool isLink(const std::string &) { return false; }
bool mayWrite(const std::string &path) { return ::_access(path.c_str(), 2) == 0; }
std::size_t longestName(const std::string &) { return 255; }
void keepOwnerAndMode(int, const std::string &) {}
int flushToDisk(int fd) { return ::_commit(fd); }
void startFlush(int) {}
int replaceFile(const std::string &from, const std::string &to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  errno = EACCES;
  return -1;
}
void flushFolder(const std::string &) {}
// What a target of this mode is when it is neither a file, a folder, a
// character device nor a pipe.
const char *otherKind(unsigned int mode) { return S_ISBLK(mode) ? "a block device" : nullptr; }
#else
int createExclusive(const std::string &path) {
  // 0666 and the umask, as for any new file the user makes.
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
constexpr int kInPlaceFlags = O_WRONLY | O_TRUNC | O_CLOEXEC;
bool isLink(const std::string &path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}
// As the shell decides for a redirect: by the effective user and groups, so
// root may write anything a read-only file system allows.
bool mayWrite(const std::string &path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}
std::size_t longestName(const std::string &folder) {
  const long most = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  return most > 0 ? static_cast<std::size_t>(most) : 255;
}
// A replaced file keeps who may read and write it, and whose it is where
// the process may give it away (root may; anyone may pick a group of their
// own). The set-user-ID and set-group-ID bits are never carried over: they
// belonged to the old program, not to this content. The owner goes first,
// since a change of owner clears those bits.
void keepOwnerAndMode(int fd, const std::string &final) {
  struct stat old {};
  struct stat now {};
  if (stat(final.c_str(), &old) != 0 || fstat(fd, &now) != 0) return;
  if (old.st_uid != now.st_uid || old.st_gid != now.st_gid) {
    if (fchown(fd, old.st_uid, old.st_gid) != 0)
      (void)fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  (void)fchmod(fd, old.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID));
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
const char *otherKind(unsigned int mode) {
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return nullptr;
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

// Whether `path` is, or links to, the name of an open descriptor
// (/dev/stdout, /dev/fd/N, /proc/self/fd/N): a rename would put the new file
// beside the one the descriptor has open, where its owner (a shell's `>>`,
// say) never looks.
bool namesDescriptor(const std::string &path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (current.rfind("/dev/fd/", 0) == 0 ||
        (current.rfind("/proc/", 0) == 0 && current.find("/fd/") != std::string::npos))
      return true;
    if (!isLink(current)) return false;
    std::error_code ec;
    const std::filesystem::path link = std::filesystem::read_symlink(current, ec);
    if (ec) return false;
    current = link.is_absolute() ? link.string() : folderOf(current) + "/" + link.string();
  }
  return false;
}

// A name no other writer picks: the process, a counter and a random number,
// after the target's own name, or after ".qx" alone when the target's name
// is so long that the whole would not fit the file system (`shortName`).
std::string temporaryName(const std::string &final, bool shortName) {
  static std::atomic<unsigned> counter{0};
  static thread_local std::mt19937 random{std::random_device{}()};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%ld.%u.%08x.tmp", static_cast<long>(getpid()),
                counter.fetch_add(1), static_cast<unsigned>(random()));
  const std::string folder = folderOf(final);
  const std::string base = baseOf(final);
  if (!shortName && 1 + base.size() + std::strlen(suffix) <= longestName(folder))
    return folder + "/." + base + suffix;
  return folder + "/.qx" + suffix;
}

} // namespace

TempFile::TempFile(const std::string &target) : target_(target) {
  if (target_ == kStandardOutput) {
    // What was printed before goes first.
    std::fflush(stdout);
    fd_ = STDOUT_FILENO;
    inPlace_ = true;
    return;
  }
  struct stat info {};
  const bool exists = ::stat(target_.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) throw Error(target_ + ": cannot write: it is a folder");
  if (exists && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) ||
                 (S_ISREG(info.st_mode) && namesDescriptor(target_)))) {
    // Opened through the name as given: /dev/stdout and its kin are links
    // only the system itself can follow.
    fd_ = ::open(target_.c_str(), kInPlaceFlags);
    if (fd_ < 0) fail(errno);
    inPlace_ = true;
    return;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    const char *kind = otherKind(static_cast<unsigned int>(info.st_mode));
    throw Error(target_ + ": cannot write: it is " + (kind != nullptr ? kind : "no file") +
                "; only a file, a character device or a pipe is written");
  }
  final_ = resolveLinks(target_);
  if (exists && !mayWrite(final_)) fail(errno);
  createTemporary();
}

void TempFile::createTemporary() {
  bool shortName = false;
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    path_ = temporaryName(final_, shortName);
    liveSlot_ = claimSlot(path_);
    fd_ = createExclusive(path_);
    if (fd_ >= 0) return;
    const int error = errno;
    releaseSlot(liveSlot_);
    if (error == ENAMETOOLONG && !shortName) {
      shortName = true;
    } else if (error != EEXIST) {
      path_.clear();
      fail(error);
    }
  }
  path_.clear();
  fail(EEXIST);
}

TempFile::~TempFile() {
  if (committed_) return;
  if (fd_ >= 0 && target_ != kStandardOutput) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
  releaseSlot(liveSlot_);
}

bool TempFile::seekable() const { return ::lseek(fd_, 0, SEEK_CUR) >= 0; }

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
  if (unflushed_ >= kFlushStep && !inPlace_) {
    startFlush(fd_);
    unflushed_ = 0;
  }
}

void TempFile::finish() {
  if (fd_ < 0) return;
  if (inPlace_) {
    // A device or a pipe has nothing to flush; standard output stays open.
    const int closed = target_ == kStandardOutput ? 0 : ::close(fd_);
    fd_ = -1;
    if (closed != 0) fail(errno);
    return;
  }
  keepOwnerAndMode(fd_, final_);
  if (flushToDisk(fd_) != 0) fail(errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) fail(errno);
}

void TempFile::replace() {
  if (!inPlace_) {
    if (replaceFile(path_, final_) != 0) fail(errno);
    releaseSlot(liveSlot_);
  }
  committed_ = true;
  if (!inPlace_) flushFolder(folderOf(final_));
}

void TempFile::commit() {
  finish();
  replace();
}

TempFile &TempFileGroup::add(const std::string &target) {
  files_.push_back(std::make_unique<TempFile>(target));
  return *files_.back();
}

void TempFileGroup::commit() {
  for (const std::unique_ptr<TempFile> &file : files_) file->finish();
  for (const std::unique_ptr<TempFile> &file : files_) file->replace();
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
  if (!std::filesystem::is_regular_file(a, ec) || !std::filesystem::is_regular_file(b, ec))
    return false;
  const bool same = std::filesystem::equivalent(a, b, ec);
  return !ec && same;
}

std::uintmax_t otherHardLinks(const std::string &path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return 0;
  const std::uintmax_t links = std::filesystem::hard_link_count(path, ec);
  return !ec && links > 1 ? links - 1 : 0;
}

namespace {

// Async-signal-safe: atomics and unlink (DeleteFileA on Windows, where the
// handler runs on a thread of its own).
void removeLiveTemporaries() {
  for (LiveSlot &slot : liveTemporaries) {
    if (slot.state.load() != kSlotLive) continue;
#ifdef _WIN32
    DeleteFileA(slot.path);
#else
    ::unlink(slot.path);
#endif
  }
}

#ifdef _WIN32
// Ctrl-C is SIGINT (2), Ctrl-Break SIGBREAK (21), a closed console SIGHUP's 1.
BOOL WINAPI onConsoleEvent(DWORD event) {
  UINT status = 0;
  switch (event) {
  case CTRL_C_EVENT:
    status = 128 + 2;
    break;
  case CTRL_BREAK_EVENT:
    status = 128 + 21;
    break;
  case CTRL_CLOSE_EVENT:
    status = 128 + 1;
    break;
  default:
    return FALSE;
  }
  removeLiveTemporaries();
  // The files were opened to be deleted while open: they go as the process
  // closes them.
  TerminateProcess(GetCurrentProcess(), status);
  return TRUE;
}
#else
extern "C" void onStopSignal(int signal) {
  removeLiveTemporaries();
  _exit(128 + signal);
}
#endif

} // namespace

void removeTemporariesOnSignals() {
#ifdef _WIN32
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigfillset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
#endif
}

} // namespace qx
