// The global-service lookup and the host services found through it. Every
// service is looked up afresh at each use, with its name and 0.
#include "services.h"

HostGlobalFunc *global_func = nullptr;

void *HostService(const char *name) {
  return global_func != nullptr ? global_func(name, 0) : nullptr;
}

const HostSurfaceFuncs *SurfaceService() {
  void *service = HostService(HOST_SURFACE_FUNCS);
  if (service == nullptr) service = HostService(HOST_SURFACE_FUNCS_1);
  return static_cast<const HostSurfaceFuncs *>(service);
}

void ShowInfo(const char *text) {
  const HostMessageFuncs *messages =
      static_cast<const HostMessageFuncs *>(HostService(HOST_MESSAGE_FUNCS));
  if (messages != nullptr && messages->info != nullptr) messages->info(text, nullptr);
}
