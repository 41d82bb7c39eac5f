// Writing an OpenEXR file safely: the library writes through a stream over a
// temporary file beside the target, which takes the target's place only once
// written whole (see safe_write.h). Every EXR writer of the host uses it.
#pragma once

#include <ImfIO.h>

#include <functional>
#include <memory>
#include <string>

namespace qx {

class TempFile;
class TempFileOutput;

// The file one EXR writer writes, open from construction to commit(). A
// writer that is destroyed without commit() leaves the old file as it was
// and no temporary file.
class ExrTarget {
public:
  // Throws Error naming the file.
  explicit ExrTarget(const std::string &path);
  ~ExrTarget();
  ExrTarget(const ExrTarget &) = delete;
  ExrTarget &operator=(const ExrTarget &) = delete;

  // The stream the library writes to.
  Imf::OStream &stream();
  // Runs a step of the writing. A failed write is told in the file's own
  // terms ("PATH: cannot write: File too large"), any other failure as
  // "PATH: cannot write the frame: ...".
  void run(const std::function<void()> &step);
  // Flushes the file to the disk and renames it over the target; throws
  // Error as run() does, also for a write the library failed and kept quiet
  // about.
  void commit();

private:
  std::string path_;
  std::unique_ptr<TempFile> file_;
  std::unique_ptr<TempFileOutput> stream_;
};

// Calls `write` with the library's output stream and commits the file, as
// ExrTarget does.
void writeExrSafely(const std::string &path, const std::function<void(Imf::OStream &)> &write);

} // namespace qx
