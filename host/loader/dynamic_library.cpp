// Opening a library and looking up its exports, on Linux and on Windows.
#include "loader/dynamic_library.h"

#include <filesystem>
#include <utility>

#include "base/error.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <dlfcn.h>
#endif

namespace qx {
namespace {

#ifdef _WIN32
// The system's text for the last error, without its closing line break.
std::string lastErrorText() {
  const DWORD code = GetLastError();
  char *text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string reason =
      length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  return reason;
}
#endif

} // namespace

DynamicLibrary::DynamicLibrary(const std::string &path) {
#ifdef _WIN32
  // No error box for a file that is not a library: the caller reports it.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  handle_ = reinterpret_cast<void *>(LoadLibraryA(path.c_str()));
  SetErrorMode(previous);
  if (handle_ == nullptr) throw Error(path + ": not a loadable module: " + lastErrorText());
#else
  // A bare file name would send dlopen searching the library path; the user
  // means the file here.
  const std::string openName = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(openName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char *reason = dlerror();
    throw Error(path + ": not a loadable module: " + (reason != nullptr ? reason : "unknown"));
  }
#endif
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

DynamicLibrary::DynamicLibrary(DynamicLibrary &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary &DynamicLibrary::operator=(DynamicLibrary &&other) noexcept {
  if (this != &other) {
    DynamicLibrary closing(std::move(*this));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void *DynamicLibrary::symbol(const char *name) const {
#ifdef _WIN32
  // An exported data symbol comes back as a procedure address too.
  return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
  dlerror();
  return dlsym(handle_, name);
#endif
}

std::string executablePath() {
#ifdef _WIN32
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return "";
  return std::string(path, length);
#else
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "" : self.string();
#endif
}

void useBinaryStandardOutput() {
#ifdef _WIN32
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

} // namespace qx
