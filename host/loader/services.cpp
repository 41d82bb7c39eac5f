// The global-service registry and the lookup function the module calls.
#include "loader/services.h"

namespace qx {
namespace {

// The newest registry alive; the head of the chain.
ServiceRegistry *g_current = nullptr;

extern "C" void *hostLookup(const char *serviceName, int useMode) {
  (void)useMode;
  if (g_current == nullptr || serviceName == nullptr) return nullptr;
  return g_current->find(serviceName);
}

} // namespace

ServiceRegistry::ServiceRegistry() : previous_(g_current) {
  if (previous_ != nullptr) previous_->next_ = this;
  g_current = this;
}

ServiceRegistry::~ServiceRegistry() {
  // Unlink from wherever this registry stands, so that an older registry
  // ending before a newer one leaves no dangling link behind.
  if (previous_ != nullptr) previous_->next_ = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
  if (g_current == this) g_current = previous_;
}

void *ServiceRegistry::find(const std::string &name) const {
  auto it = services_.find(name);
  return it == services_.end() ? nullptr : it->second;
}

HostGlobalFunc *ServiceRegistry::lookupFunction() { return hostLookup; }

ServiceRegistry *ServiceRegistry::current() { return g_current; }

} // namespace qx
