// The scene's surfaces, served as "Surface Functions 2" and "Surface Functions".
#pragma once

#include <vector>

#include "loader/services.h"
#include "qx/host.h"
#include "scene/scene.h"

namespace qx {

// Walks the surfaces in the order of the scene file. A surface's ID is the
// address of its record here, valid until the surfaces are replaced.
class SurfaceService {
public:
  // Provides both service names in `registry` and attaches itself there.
  SurfaceService(ServiceRegistry &registry, const std::vector<SceneSurface> &surfaces);
  ~SurfaceService();
  SurfaceService(const SurfaceService &) = delete;
  SurfaceService &operator=(const SurfaceService &) = delete;

  const HostSurfaceFuncs *record() const { return &record_; }
  // Replaces the surfaces; the old IDs become invalid.
  void assign(const std::vector<SceneSurface> &surfaces);
  std::size_t count() const { return surfaces_.size(); }

private:
  struct Surface {
    std::string name;
    bool hasSpecial = false;
    bool hasColor = false;
    double special = 0.0;
    double color[3] = {0.0, 0.0, 0.0};
  };

  // The surface an ID stands for, or null when it is none of ours.
  Surface *lookup(HostSurfaceID id);

  static HostSurfaceID first();
  static HostSurfaceID next(HostSurfaceID surface);
  static const char *name(HostSurfaceID surface);
  static double *getFlt(HostSurfaceID surface, const char *attribute);

  ServiceRegistry &registry_;
  std::vector<Surface> surfaces_;
  HostSurfaceFuncs record_;
};

} // namespace qx
