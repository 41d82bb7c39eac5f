// The library's output stream over a safe-write temporary file.
#include "exr_output.h"

#include <Iex.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <optional>

#include "error.h"
#include "safe_write.h"

namespace qx {

// A failed write is kept and reported in the file's own terms once the
// library has let go; the library itself hears of it as one of its I/O
// errors.
class TempFileOutput : public Imf::OStream {
public:
  explicit TempFileOutput(TempFile &file) : Imf::OStream(file.target().c_str()), file_(file) {}
  void write(const char c[], int n) override {
    if (error_) throw Iex::IoExc(error_->what());
    try {
      if (::lseek(file_.fd(), static_cast<off_t>(position_), SEEK_SET) < 0) file_.fail(errno);
      file_.write(c, static_cast<std::size_t>(n));
    } catch (const Error &e) {
      error_ = e;
      throw Iex::IoExc(e.what());
    }
    position_ += static_cast<uint64_t>(n);
  }
  uint64_t tellp() override { return position_; }
  void seekp(uint64_t pos) override { position_ = pos; }
  const std::optional<Error> &error() const { return error_; }

private:
  TempFile &file_;
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
    file_->commit();
  });
}

void writeExrSafely(const std::string &path, const std::function<void(Imf::OStream &)> &write) {
  ExrTarget target(path);
  target.run([&] { write(target.stream()); });
  target.commit();
}

} // namespace qx
