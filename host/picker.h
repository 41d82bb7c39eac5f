// The colour picker, "Color Picker": answers from a standing choice instead of
// a user, and keeps a record of every request.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "qx/host.h"
#include "services.h"

namespace qx {

// The picker gives the same answer to every request until told otherwise:
// cancel (the answer it starts with), or accept a colour.
class ColorPickerService {
public:
  struct Request {
    int version;
    std::string title;
    std::array<float, 3> shown; // the colour the module showed first
    bool accepted;
    std::array<float, 3> chosen; // the colour given back, when accepted
  };

  // Provides "Color Picker" in `registry` and attaches itself there.
  explicit ColorPickerService(ServiceRegistry &registry);
  ~ColorPickerService();
  ColorPickerService(const ColorPickerService &) = delete;
  ColorPickerService &operator=(const ColorPickerService &) = delete;

  // The service as the registry serves it.
  HostColorPickFunc *function() const { return &ColorPickerService::pick; }

  void acceptWith(float red, float green, float blue);
  void cancel();

  const std::vector<Request> &requests() const { return requests_; }

private:
  static int pick(int version, HostColorPickRequest *request) noexcept;

  ServiceRegistry &registry_;
  bool accept_ = false;
  std::array<float, 3> colour_{0.0f, 0.0f, 0.0f};
  std::vector<Request> requests_;
};

} // namespace qx
