// The colour picker, "Color Picker": answers from a standing choice instead of
// a user, and keeps a record of every request.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "loader/services.h"
#include "qx/host.h"

namespace qx {

// The picker gives the same answer to every request until told otherwise:
// cancel (the answer it starts with), accept a colour, or ask the user
// through a dialog (the window host's).
class ColorPickerService {
public:
  // A colour dialog titled `title`, starting from `colour`: true when the
  // user accepted, with the chosen colour in `colour`; false for a cancel.
  using Dialog = std::function<bool(const std::string &title, std::array<float, 3> &colour)>;

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

  // Standing answers; each ends asking through a dialog.
  void acceptWith(float red, float green, float blue);
  void cancel();
  // From now on every request is put to the user through `dialog`.
  void askWith(Dialog dialog) { dialog_ = std::move(dialog); }

  const std::vector<Request> &requests() const { return requests_; }

private:
  static int pick(int version, HostColorPickRequest *request) noexcept;

  ServiceRegistry &registry_;
  bool accept_ = false;
  std::array<float, 3> colour_{0.0f, 0.0f, 0.0f};
  Dialog dialog_;
  std::vector<Request> requests_;
};

} // namespace qx
