// The surface service.
#include "scene/surfaces.h"

#include <cstring>
#include <functional>

namespace qx {

SurfaceService::SurfaceService(ServiceRegistry &registry, const std::vector<SceneSurface> &surfaces)
    : registry_(registry), record_{&SurfaceService::first, &SurfaceService::next,
                                   &SurfaceService::name, &SurfaceService::getFlt} {
  assign(surfaces);
  registry_.attach(this);
  registry_.provide(HOST_SURFACE_FUNCS, &record_);
  registry_.provide(HOST_SURFACE_FUNCS_1, &record_);
}

SurfaceService::~SurfaceService() {
  if (registry_.find(HOST_SURFACE_FUNCS) == &record_) registry_.withdraw(HOST_SURFACE_FUNCS);
  if (registry_.find(HOST_SURFACE_FUNCS_1) == &record_) registry_.withdraw(HOST_SURFACE_FUNCS_1);
  registry_.detach(this);
}

void SurfaceService::assign(const std::vector<SceneSurface> &surfaces) {
  surfaces_.clear();
  surfaces_.reserve(surfaces.size());
  for (const SceneSurface &from : surfaces) {
    Surface to;
    to.name = from.name;
    to.hasSpecial = from.specialBuffer.has_value();
    to.special = from.specialBuffer.value_or(0.0);
    to.hasColor = from.baseColor.has_value();
    if (from.baseColor) {
      for (int i = 0; i < 3; ++i) to.color[i] = (*from.baseColor)[i];
    }
    surfaces_.push_back(std::move(to));
  }
}

SurfaceService::Surface *SurfaceService::lookup(HostSurfaceID id) {
  if (id == nullptr || surfaces_.empty()) return nullptr;
  // Ordered comparison of unrelated pointers is only defined through
  // std::less.
  Surface *surface = static_cast<Surface *>(id);
  Surface *begin = surfaces_.data();
  Surface *end = begin + surfaces_.size();
  if (std::less<Surface *>()(surface, begin) || !std::less<Surface *>()(surface, end)) {
    return nullptr;
  }
  return surface;
}

HostSurfaceID SurfaceService::first() {
  SurfaceService *self = ServiceRegistry::currentOwner<SurfaceService>();
  if (self == nullptr || self->surfaces_.empty()) return nullptr;
  return &self->surfaces_.front();
}

HostSurfaceID SurfaceService::next(HostSurfaceID surface) {
  SurfaceService *self = ServiceRegistry::currentOwner<SurfaceService>();
  Surface *current = self != nullptr ? self->lookup(surface) : nullptr;
  if (current == nullptr || current + 1 == self->surfaces_.data() + self->surfaces_.size()) {
    return nullptr;
  }
  return current + 1;
}

const char *SurfaceService::name(HostSurfaceID surface) {
  SurfaceService *self = ServiceRegistry::currentOwner<SurfaceService>();
  Surface *found = self != nullptr ? self->lookup(surface) : nullptr;
  return found != nullptr ? found->name.c_str() : nullptr;
}

double *SurfaceService::getFlt(HostSurfaceID surface, const char *attribute) {
  SurfaceService *self = ServiceRegistry::currentOwner<SurfaceService>();
  Surface *found = self != nullptr ? self->lookup(surface) : nullptr;
  if (found == nullptr || attribute == nullptr) return nullptr;
  if (std::strcmp(attribute, "SpecialBuffer1") == 0 && found->hasSpecial) return &found->special;
  if (std::strcmp(attribute, "BaseColor") == 0 && found->hasColor) return found->color;
  return nullptr;
}

} // namespace qx
