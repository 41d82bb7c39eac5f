// Writing a file so that it is never left half written: the bytes go to a
// temporary file beside the target, are flushed to the disk, and only then
// take the target's place by a rename. A full disk, a file-size limit, a kill
// or a crash leaves either the old file, byte for byte, or the whole new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qx {

// The target name that stands for standard output.
constexpr char kStandardOutput[] = "-";

// A temporary file beside `target`, in the same folder so that the rename
// that commits it stays on one file system. Until commit() the target is not
// touched; a TempFile that is destroyed uncommitted removes its file.
//
// Only a regular file, or a missing one, is replaced so. Standard output
// ("-"), a character device and a pipe (also through a link), and the name
// of an open descriptor such as /dev/stdout whatever it has open, are
// written into in place, as a shell redirect writes them. Any other kind of
// file is refused.
//
// Errors are qx::Error with the text "<target>: cannot write: <reason>".
class TempFile {
public:
  // Creates the temporary file, or opens the target to write into it in
  // place. A target that is a symbolic link is written through: the file it
  // points to is replaced, and the link stays. A target the user could not
  // open for writing is refused ("Permission denied"), as by the shell.
  explicit TempFile(const std::string &target);
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  const std::string &target() const { return target_; }
  // The temporary file; empty when the target is written in place.
  const std::string &path() const { return path_; }
  // The open descriptor, for writers that need to seek.
  int fd() const { return fd_; }
  // Whether the descriptor can seek (a pipe or a terminal cannot).
  bool seekable() const;

  // Writes all of `size` bytes at the current offset, or throws.
  void write(const void *data, std::size_t size);
  // Flushes the file to the disk, closes it and renames it over the target,
  // keeping the target's permissions (never its set-user-ID or set-group-ID
  // bits) and, where the process may, its owner and group. Throws, and
  // leaves the target as it was, when any step fails.
  void commit();
  // Throws the error for `errnum` (an errno value) in this file's terms.
  [[noreturn]] void fail(int errnum) const;

private:
  friend class TempFileGroup;
  void createTemporary();
  // The two halves of commit(): everything that can fail for want of room,
  // then the rename.
  void finish();
  void replace();

  std::string target_; // as the user named it, for messages
  std::string final_;  // what the rename replaces: the target, links followed
  std::string path_;
  int fd_ = -1;
  bool inPlace_ = false;
  bool committed_ = false;
  int liveSlot_ = -1;         // where a signal finds path_ to remove it
  std::size_t unflushed_ = 0; // written since the disk was last asked to take the file
};

// Files that replace their targets together, such as the planes of one
// frame: every file is written and flushed before any takes its target's
// place, so a failure leaves every old target as it was and no temporary
// file behind.
class TempFileGroup {
public:
  // Adds the file for `target`. Throws as TempFile does.
  TempFile &add(const std::string &target);
  // Flushes every file, then renames each over its target. Throws, with
  // every target as it was, when a flush fails.
  void commit();

private:
  std::vector<std::unique_ptr<TempFile>> files_;
};

// Writes `bytes` as the whole new content of `path`, safely.
void writeFileAtomically(const std::string &path, const std::string &bytes);
// Writes what `fill` puts into the stream as the whole new content of
// `path`, safely. The content is collected in memory first.
void writeFileAtomically(const std::string &path, const std::function<void(std::ostream &)> &fill);

// Whether two paths name the same existing regular file (same device and
// inode, whatever the spelling). False when either is missing or is no
// regular file: a terminal read and written at once is no conflict.
bool sameFile(const std::string &a, const std::string &b);

// How many other names (hard links) the regular file at `path` has: a safe
// write over `path` gives it new content under that name only, and the
// others keep the old. 0 when it has none or is no regular file.
std::uintmax_t otherHardLinks(const std::string &path);

// Makes SIGINT, SIGTERM and SIGHUP (on Windows, the console's Ctrl-C,
// Ctrl-Break and close events) remove this process's temporary files, then
// end the process with status 128 + the signal (Ctrl-Break counts as 21, a
// closed console as 1). Signals the process was started ignoring stay
// ignored. Called once, at the start of the program.
void removeTemporariesOnSignals();

} // namespace qx
