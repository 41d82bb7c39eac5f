// A shared library opened at run time: the host's only platform-specific
// code. dlopen and dlsym on Linux, LoadLibrary and GetProcAddress on Windows;
// and the two facts about the running program the host needs besides: where
// its own file is, since modules sit beside it, and standard output in binary
// mode, so that what it prints is the same bytes everywhere.
#pragma once

#include <string>

namespace qx {

// An open library; closes it on destruction. Move-only.
class DynamicLibrary {
public:
  // Opens the file at `path` and resolves every symbol it needs at once.
  // Throws Error naming the file and the system's reason when it cannot.
  explicit DynamicLibrary(const std::string &path);
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary &&other) noexcept;
  DynamicLibrary &operator=(DynamicLibrary &&other) noexcept;
  DynamicLibrary(const DynamicLibrary &) = delete;
  DynamicLibrary &operator=(const DynamicLibrary &) = delete;

  // The address the library exports under `name`, or null when it has none.
  void *symbol(const char *name) const;

private:
  void *handle_ = nullptr;
};

// The running program's file, or an empty string when the system does not
// say.
std::string executablePath();

// Makes standard output write its bytes as they are: on Windows a text-mode
// stream would turn every LF into CR LF. Nothing to do elsewhere.
void useBinaryStandardOutput();

} // namespace qx
