// The global-service registry: the host's answer to the module's lookups.
#pragma once

#include <map>
#include <string>

#include "qx/host.h"

namespace qx {

// Services by name. A test or a command can leave any service out to exercise
// the module's missing-service paths.
class ServiceRegistry {
public:
  ServiceRegistry();
  ~ServiceRegistry();
  ServiceRegistry(const ServiceRegistry &) = delete;
  ServiceRegistry &operator=(const ServiceRegistry &) = delete;

  void provide(const std::string &name, void *service) { services_[name] = service; }
  void withdraw(const std::string &name) { services_.erase(name); }
  void *find(const std::string &name) const;

  // The lookup function handed to the module. It carries no user data, so it
  // answers from the registry that is current: the one constructed last and
  // still alive. This is the host's only global.
  static HostGlobalFunc *lookupFunction();
  static ServiceRegistry *current();

private:
  std::map<std::string, void *> services_;
  ServiceRegistry *previous_;
};

} // namespace qx
