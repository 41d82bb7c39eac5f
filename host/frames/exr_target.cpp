// The library's output stream over a safe-write temporary file.
#include "frames/exr_target.h"

#include <Iex.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/safe_write.h"

namespace qx {

// A failed write is kept and reported in the file's own terms once the
// library has let go; the library itself hears of it as one of its I/O
// errors.
// A target that cannot seek (a pipe, a terminal) gets the file gathered in
// memory and written whole at the commit, since the library goes back to
// fill in the chunks' offsets.
class TempFileOutput : public Imf::OStream {
public:
  explicit TempFileOutput(TempFile &file)
      : Imf::OStream(file.target().c_str()), file_(file), gathered_(!file.seekable()) {}
  void write(const char c[], int n) override {
    if (error_) throw Iex::IoExc(error_->what());
    try {
      const auto count = static_cast<std::size_t>(n);
      if (gathered_) {
        if (bytes_.size() < position_ + count) bytes_.resize(position_ + count);
        std::copy(c, c + n, bytes_.begin() + static_cast<std::ptrdiff_t>(position_));
      } else {
        if (::lseek(file_.fd(), static_cast<off_t>(position_), SEEK_SET) < 0) file_.fail(errno);
        file_.write(c, count);
      }
    } catch (const Error &e) {
      error_ = e;
      throw Iex::IoExc(e.what());
    }
    position_ += static_cast<uint64_t>(n);
  }
  uint64_t tellp() override { return position_; }
  void seekp(uint64_t pos) override { position_ = pos; }
  const std::optional<Error> &error() const { return error_; }
  // Writes what was gathered, if anything.
  void flushGathered() {
    if (gathered_) file_.write(bytes_.data(), bytes_.size());
    std::string().swap(bytes_);
  }

private:
  TempFile &file_;
  bool gathered_;
  std::string bytes_;
  uint64_t position_ = 0;
  std::optional<Error> error_;
};

ExrTarget::ExrTarget(const std::string &path) : path_(path) {
  run([&] {
    file_ = std::make_unique<TempFile>(path);
    stream_ = std::make_unique<TempFileOutput>(*file_);
  });
}

ExrTarget::~ExrTarget() = default;

Imf::OStream &ExrTarget::stream() { return *stream_; }

void ExrTarget::run(const std::function<void()> &step) {
  namingFailures(path_, "write the frame", [&] {
    try {
      step();
    } catch (const std::exception &) {
      // The file's own reason, not the library's retelling of it.
      if (stream_ && stream_->error()) throw *stream_->error();
      throw;
    }
  });
}

void ExrTarget::commit() {
  run([&] {
    if (stream_->error()) throw *stream_->error();
    stream_->flushGathered();
    file_->commit();
  });
}

void writeExrSafely(const std::string &path, const std::function<void(Imf::OStream &)> &write) {
  ExrTarget target(path);
  target.run([&] { write(target.stream()); });
  target.commit();
}

} // namespace qx
