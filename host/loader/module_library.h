// A plug-in module loaded from a file: its descriptor and its servers.
#pragma once

#include <string>
#include <vector>

#include "base/error.h"
#include "loader/dynamic_library.h"
#include "qx/host.h"

namespace qx {

// A server refused its activation; `status()` is what it returned.
class ActivationError : public Error {
public:
  ActivationError(const std::string &message, int status) : Error(message), status_(status) {}
  int status() const { return status_; }

private:
  int status_;
};

// One row of the module's server table.
struct ServerEntry {
  std::string className; // e.g. "PixelFilterHandler"
  std::string name;      // e.g. "Quintessalux"
  HostActivateFunc *activate = nullptr;
};

// Loads a module file, checks its descriptor and starts it; shuts it down and
// unloads it on destruction. Everything taken from the module (records it
// filled, instances it made) must be released before the library ends.
class ModuleLibrary {
public:
  // Throws Error naming the file when it is missing, is not a loadable
  // library, exports no descriptor, carries wrong fixed words, or fails to
  // start.
  explicit ModuleLibrary(const std::string &path);
  ~ModuleLibrary();
  ModuleLibrary(const ModuleLibrary &) = delete;
  ModuleLibrary &operator=(const ModuleLibrary &) = delete;

  const std::string &path() const { return path_; }
  const HostModuleDescriptor &descriptor() const { return *descriptor_; }
  // What the module's start-up returned (non-zero: started; 0 when it has none).
  int startupResult() const { return startupResult_; }
  // The server table in the module's order, without the closing row.
  const std::vector<ServerEntry> &servers() const { return servers_; }

  // The server of that class and name, or null.
  const ServerEntry *find(const std::string &className, const std::string &name) const;
  // The same, but throws Error naming the file when there is none.
  const ServerEntry &server(const std::string &className, const std::string &name) const;

  // Calls the server's activation with the host's lookup and the record to
  // fill. Returns the module's HOST_AFUNC_* status; a row without an
  // activation function counts as refused.
  static int activate(const ServerEntry &server, void *record, int version = HOST_ACTIVATE_VERSION);

  // Throws Error naming `path` and the first of the three fixed words that
  // differs from what this host expects.
  static void checkWords(const HostModuleDescriptor &descriptor, const std::string &path);

private:
  std::string path_;
  DynamicLibrary library_;
  const HostModuleDescriptor *descriptor_ = nullptr;
  int startupResult_ = 0;
  std::vector<ServerEntry> servers_;
};

} // namespace qx
