// A scene's surfaces served to the module as "Surface Functions 2" (or the
// older "Surface Functions"), installed as the module's global lookup for the
// life of the object.
#pragma once

#include <string>
#include <vector>

#include "module.h"

struct FakeSurface {
  std::string name;
  double special;
  double baseColor[3];
  bool hasSpecial = true;
  // A host may answer null for the name or the base colour.
  bool hasName = true;
  bool hasBaseColor = true;
};

class FakeSurfaces {
public:
  enum class Offer { Both, OldOnly, None };

  explicit FakeSurfaces(std::vector<FakeSurface> surfaces, Offer offer = Offer::Both)
      : surfaces_(std::move(surfaces)), offer_(offer), saved_(global_func), previous_(current()) {
    current() = this;
    global_func = Lookup;
  }
  ~FakeSurfaces() {
    global_func = saved_;
    current() = previous_;
  }
  FakeSurfaces(const FakeSurfaces &) = delete;
  FakeSurfaces &operator=(const FakeSurfaces &) = delete;

  std::vector<FakeSurface> &surfaces() { return surfaces_; }

private:
  static FakeSurfaces *&current() {
    static FakeSurfaces *instance = nullptr;
    return instance;
  }
  static FakeSurface *At(size_t i) {
    auto &s = current()->surfaces_;
    return i < s.size() ? &s[i] : nullptr;
  }
  static size_t IndexOf(HostSurfaceID id) {
    return static_cast<size_t>(static_cast<FakeSurface *>(id) - current()->surfaces_.data());
  }
  static HostSurfaceID First() { return At(0); }
  static HostSurfaceID Next(HostSurfaceID id) { return At(IndexOf(id) + 1); }
  static const char *Name(HostSurfaceID id) {
    auto *s = static_cast<FakeSurface *>(id);
    return s->hasName ? s->name.c_str() : nullptr;
  }
  static double *GetFlt(HostSurfaceID id, const char *attribute) {
    auto *s = static_cast<FakeSurface *>(id);
    if (std::string(attribute) == "SpecialBuffer1") return s->hasSpecial ? &s->special : nullptr;
    if (std::string(attribute) == "BaseColor") return s->hasBaseColor ? s->baseColor : nullptr;
    return nullptr;
  }
  static void *Lookup(const char *name, int) {
    static HostSurfaceFuncs funcs{First, Next, Name, GetFlt};
    const std::string n(name);
    const Offer offer = current()->offer_;
    if (n == "Surface Functions 2" && offer == Offer::Both) return &funcs;
    if (n == "Surface Functions" && offer != Offer::None) return &funcs;
    return nullptr;
  }

  std::vector<FakeSurface> surfaces_;
  Offer offer_;
  HostGlobalFunc *saved_;
  FakeSurfaces *previous_;
};

// Surfaces carrying the given special-buffer values, in order.
inline std::vector<FakeSurface> SurfacesWithValues(const std::vector<double> &values) {
  std::vector<FakeSurface> s;
  for (size_t i = 0; i < values.size(); ++i)
    s.push_back({"S" + std::to_string(i), values[i], {1.0, 1.0, 1.0}});
  return s;
}
