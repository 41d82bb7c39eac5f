// Writing a file so that it is never left half written: the bytes go to a
// temporary file beside the target, are flushed to the disk, and only then
// take the target's place by a rename. A full disk, a file-size limit, a kill
// or a crash leaves either the old file, byte for byte, or the whole new one.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace qx {

// A temporary file beside `target`, in the same folder so that the rename
// that commits it stays on one file system. Until commit() the target is not
// touched; a TempFile that is destroyed uncommitted removes its file.
//
// Errors are qx::Error with the text "<target>: cannot write: <reason>".
class TempFile {
public:
  // Creates the temporary file. A target that is a symbolic link is written
  // through: the file it points to is replaced, and the link stays.
  explicit TempFile(const std::string &target);
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  const std::string &target() const { return target_; }
  const std::string &path() const { return path_; }
  // The open descriptor, for writers that need to seek.
  int fd() const { return fd_; }

  // Writes all of `size` bytes at the current offset, or throws.
  void write(const void *data, std::size_t size);
  // Flushes the file to the disk, closes it and renames it over the target
  // (keeping the target's permissions when it existed). Throws, and leaves
  // the target as it was, when any step fails.
  void commit();
  // Throws the error for `errnum` (an errno value) in this file's terms.
  [[noreturn]] void fail(int errnum) const;

private:
  std::string target_; // as the user named it, for messages
  std::string final_;  // what the rename replaces: the target, links followed
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
  std::size_t unflushed_ = 0; // written since the disk was last asked to take the file
};

// Writes `bytes` as the whole new content of `path`, safely.
void writeFileAtomically(const std::string &path, const std::string &bytes);
// Writes what `fill` puts into the stream as the whole new content of
// `path`, safely. The content is collected in memory first.
void writeFileAtomically(const std::string &path, const std::function<void(std::ostream &)> &fill);

// Whether two paths name the same existing file (same device and inode,
// whatever the spelling). False when either does not exist.
bool sameFile(const std::string &a, const std::string &b);

} // namespace qx
