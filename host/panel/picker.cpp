// The colour picker.
#include "panel/picker.h"

#include "loader/module_call.h"

namespace qx {

ColorPickerService::ColorPickerService(ServiceRegistry &registry) : registry_(registry) {
  registry_.attach(this);
  registry_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(function()));
}

ColorPickerService::~ColorPickerService() {
  if (registry_.find(HOST_COLOR_PICKER) == reinterpret_cast<void *>(function()))
    registry_.withdraw(HOST_COLOR_PICKER);
  registry_.detach(this);
}

void ColorPickerService::acceptWith(float red, float green, float blue) {
  accept_ = true;
  colour_ = {red, green, blue};
  dialog_ = nullptr;
}

void ColorPickerService::cancel() {
  accept_ = false;
  dialog_ = nullptr;
}

int ColorPickerService::pick(int version, HostColorPickRequest *request) noexcept {
  ColorPickerService *self = ServiceRegistry::currentOwner<ColorPickerService>();
  if (self == nullptr || request == nullptr) return -1;
  // A request of another version has another layout: it is not read at all.
  const bool known = version == HOST_COLOR_PICK_VERSION;
  const std::array<float, 3> shown =
      known ? std::array<float, 3>{request->red, request->green, request->blue}
            : std::array<float, 3>{0.0f, 0.0f, 0.0f};
  const char *title = known && request->title != nullptr ? request->title : "";
  bool accepted = known && self->accept_;
  std::array<float, 3> chosen = self->colour_;
  if (known && self->dialog_) {
    chosen = shown;
    try {
      accepted = self->dialog_(title, chosen);
    } catch (...) {
      accepted = false; // a dialog that could not be shown is a cancel
    }
  }
  if (known) {
    if (accepted) {
      request->red = chosen[0];
      request->green = chosen[1];
      request->blue = chosen[2];
      // The user tried the colour before accepting it.
      if (request->hotFunc != nullptr)
        callModule(request->hotFunc, request->data, request->red, request->green, request->blue);
    }
    request->result = accepted ? 1 : 0;
  }
  try {
    self->requests_.push_back({version, title, shown, accepted,
                               accepted ? chosen : std::array<float, 3>{0.0f, 0.0f, 0.0f}});
  } catch (...) {
    // The record is for inspection only; the answer stands without it.
  }
  return known ? 0 : -1;
}

} // namespace qx
