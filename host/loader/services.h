// The global-service registry: the host's answer to the module's lookups.
#pragma once

#include <map>
#include <string>
#include <typeindex>
#include <typeinfo>

#include "qx/host.h"

namespace qx {

// Services by name, and the objects that stand behind them. A test or a
// command can leave any service out to exercise the module's missing-service
// paths.
//
// Many of the host's service functions take no context (a surface walk starts
// with first(), which is given nothing), so each service object attaches
// itself here as the owner of its kind; its functions find it again through
// the current registry.
class ServiceRegistry {
public:
  ServiceRegistry();
  ~ServiceRegistry();
  ServiceRegistry(const ServiceRegistry &) = delete;
  ServiceRegistry &operator=(const ServiceRegistry &) = delete;

  void provide(const std::string &name, void *service) { services_[name] = service; }
  void withdraw(const std::string &name) { services_.erase(name); }
  void *find(const std::string &name) const;

  // The object of kind T that serves this registry's records, or null.
  template <class T> void attach(T *owner) { owners_[std::type_index(typeid(T))] = owner; }
  template <class T> void detach(const T *owner) {
    auto it = owners_.find(std::type_index(typeid(T)));
    if (it != owners_.end() && it->second == owner) owners_.erase(it);
  }
  template <class T> T *owner() const {
    auto it = owners_.find(std::type_index(typeid(T)));
    return it == owners_.end() ? nullptr : static_cast<T *>(it->second);
  }
  // The owner of kind T in the current registry, or null when there is none.
  template <class T> static T *currentOwner() {
    const ServiceRegistry *registry = current();
    return registry != nullptr ? registry->owner<T>() : nullptr;
  }

  // The lookup function handed to the module. It carries no user data, so it
  // answers from the registry that is current: the one constructed last and
  // still alive. This is the host's only global.
  static HostGlobalFunc *lookupFunction();
  static ServiceRegistry *current();

private:
  std::map<std::string, void *> services_;
  std::map<std::type_index, void *> owners_;
  // Registries alive at once form a chain, newest first; any of them may end
  // first.
  ServiceRegistry *previous_;
  ServiceRegistry *next_ = nullptr;
};

} // namespace qx
