// What the fuzz targets share: a file of this process for inputs that must
// go through the file system, and the report of a fault with the input that
// caused it.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace fuzz {

// The path of a file of this process, "/tmp/qx_fuzz_<name>_<pid><suffix>".
inline std::string ProcessFile(const std::string &name, const std::string &suffix) {
  return "/tmp/qx_fuzz_" + name + "_" + std::to_string(::getpid()) + suffix;
}

// Writes `size` bytes to `path`; false when the file cannot be written whole.
inline bool WriteBytes(const std::string &path, const void *data, size_t size) {
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

// Removes a file when it leaves scope, however the input ends.
class RemoveAtEnd {
public:
  explicit RemoveAtEnd(std::string path) : path_(std::move(path)) {}
  ~RemoveAtEnd() { std::remove(path_.c_str()); }
  RemoveAtEnd(const RemoveAtEnd &) = delete;
  RemoveAtEnd &operator=(const RemoveAtEnd &) = delete;

private:
  std::string path_;
};

// Reports a fault: the target, what went wrong, and the first `shown` bytes
// of the input (printable ASCII as it is, anything else as \xNN). Removes
// `leftover` if given, then aborts, so that the fuzzer keeps the input.
[[noreturn]] inline void Fail(const char *target, const std::string &what, const uint8_t *data,
                              size_t size, const std::string &leftover = "", size_t shown = 300) {
  std::fprintf(stderr, "%s: %s\n  input (%zu bytes): \"", target, what.c_str(), size);
  for (size_t i = 0; i < size && i < shown; ++i) {
    const int c = data[i];
    if (c >= 32 && c < 127 && c != '\\')
      std::fputc(c, stderr);
    else
      std::fprintf(stderr, "\\x%02x", c);
  }
  std::fprintf(stderr, "\"\n");
  if (!leftover.empty()) std::remove(leftover.c_str());
  std::abort();
}

[[noreturn]] inline void Fail(const char *target, const std::string &what, const std::string &text,
                              const std::string &leftover = "") {
  Fail(target, what, reinterpret_cast<const uint8_t *>(text.data()), text.size(), leftover);
}

// A text as a panel script writes it: in double quotes, with each double
// quote and backslash escaped by a backslash.
inline std::string Quoted(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

} // namespace fuzz
