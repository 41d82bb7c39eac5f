// Loading a module file and reading its descriptor and server table.
#include "loader/module_library.h"

#include <cstdio>
#include <filesystem>

#include "base/error.h"
#include "loader/module_call.h"
#include "loader/services.h"

namespace qx {
namespace {

std::string hex(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", word);
  return text;
}

void checkWord(const std::string &path, const char *name, uint32_t found, uint32_t expected) {
  if (found != expected) {
    throw Error(path + ": descriptor word " + name + " is " + hex(found) + ", expected " +
                hex(expected));
  }
}

// Opens the module file; a missing file is named as such before the loader
// gives its own reason.
DynamicLibrary openModuleFile(const std::string &path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) throw Error(path + ": no such module file");
  return DynamicLibrary(path);
}

} // namespace

void ModuleLibrary::checkWords(const HostModuleDescriptor &descriptor, const std::string &path) {
  checkWord(path, "HOST_MODULE_SYNC", descriptor.sync, HOST_MODULE_SYNC);
  checkWord(path, "HOST_MODULE_VERSION", descriptor.version, HOST_MODULE_VERSION);
  checkWord(path, "HOST_MODULE_MACHINE", descriptor.machine, HOST_MODULE_MACHINE);
}

ModuleLibrary::ModuleLibrary(const std::string &path)
    : path_(path), library_(openModuleFile(path)) {
  descriptor_ = static_cast<const HostModuleDescriptor *>(library_.symbol("_mod_descrip"));
  if (descriptor_ == nullptr) throw Error(path + ": no module descriptor \"_mod_descrip\"");
  checkWords(*descriptor_, path);

  if (descriptor_->startup != nullptr) {
    startupResult_ = callModule(descriptor_->startup);
    if (startupResult_ == 0) throw Error(path + ": the module's start-up failed");
  }
  for (const HostServerRecord *row = descriptor_->servers;
       row != nullptr && row->className != nullptr; ++row) {
    servers_.push_back({row->className, row->name != nullptr ? row->name : "", row->activate});
  }
}

ModuleLibrary::~ModuleLibrary() {
  if (descriptor_->shutdown != nullptr) callModule(descriptor_->shutdown);
}

const ServerEntry *ModuleLibrary::find(const std::string &className,
                                       const std::string &name) const {
  for (const ServerEntry &entry : servers_) {
    if (entry.className == className && entry.name == name) return &entry;
  }
  return nullptr;
}

const ServerEntry &ModuleLibrary::server(const std::string &className,
                                         const std::string &name) const {
  const ServerEntry *entry = find(className, name);
  if (entry == nullptr) {
    throw Error(path_ + ": no server \"" + name + "\" of class \"" + className + "\"");
  }
  return *entry;
}

int ModuleLibrary::activate(const ServerEntry &server, void *record, int version) {
  if (server.activate == nullptr) return HOST_AFUNC_BADVERSION;
  return callModule(server.activate, version, ServiceRegistry::lookupFunction(), record,
                    static_cast<void *>(nullptr));
}

} // namespace qx
