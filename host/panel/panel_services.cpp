// The panel services: panels, controls and the canvas of the module's drawing.
#include "panel/panel_services.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "loader/module_call.h"

namespace qx {
namespace {

struct KindName {
  ControlKind kind;
  const char *name;
};

const KindName kKindNames[] = {
    {ControlKind::ListBox, HOST_KIND_LISTBOX}, {ControlKind::Bool, HOST_KIND_BOOL},
    {ControlKind::Button, HOST_KIND_BUTTON},   {ControlKind::Popup, HOST_KIND_POPUP},
    {ControlKind::MiniRgb, HOST_KIND_MINIRGB}, {ControlKind::Percent, HOST_KIND_PERCENT},
    {ControlKind::Area, HOST_KIND_AREA},
};

// The descriptor tag each kind is made with.
int descTypeOf(ControlKind kind) {
  switch (kind) {
  case ControlKind::ListBox:
    return HOST_DESC_LIST;
  case ControlKind::Bool:
    return HOST_DESC_BOOL;
  case ControlKind::Button:
  case ControlKind::Area:
    return HOST_DESC_AREA;
  case ControlKind::Popup:
    return HOST_DESC_CHOICE;
  case ControlKind::MiniRgb:
    return HOST_DESC_IVEC;
  case ControlKind::Percent:
    return HOST_DESC_RANGE;
  }
  return -1;
}

int clampChannel(int v) { return std::clamp(v, 0, 255); }

void putInt(HostValue *holder, intptr_t value) {
  holder->intv.type = HOST_VALUE_INT;
  holder->intv.value = value;
}

} // namespace

bool controlKindFromName(const std::string &name, ControlKind &kind) {
  for (const KindName &entry : kKindNames) {
    if (name == entry.name) {
      kind = entry.kind;
      return true;
    }
  }
  return false;
}

const char *controlKindName(ControlKind kind) {
  for (const KindName &entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

const char *controlStateName(ControlState state) {
  switch (state) {
  case ControlState::Normal:
    return "normal";
  case ControlState::Erased:
    return "erased";
  case ControlState::Live:
    return "live";
  case ControlState::Ghosted:
    return "ghosted";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Controls

PanelControl::PanelControl(Panel &panel, int index, ControlKind kind, const HostCtlDesc &desc,
                           std::string label)
    : panel_(panel), handle_{&PanelControl::draw, &PanelControl::get, &PanelControl::set, this},
      index_(index), kind_(kind), label_(std::move(label)), desc_(desc) {
  if (kind_ == ControlKind::Popup) {
    // The module's item list is only borrowed; the control keeps the texts.
    if (desc.choice.items != nullptr) {
      for (const char *const *item = desc.choice.items; *item != nullptr; ++item) {
        items_.emplace_back(*item);
      }
    }
    for (const std::string &item : items_) itemPointers_.push_back(item.c_str());
    itemPointers_.push_back(nullptr);
    desc_.choice.items = itemPointers_.data();
  }
  switch (kind_) {
  case ControlKind::Percent:
    value_.flt.type = HOST_VALUE_FLOAT;
    value_.flt.value = 0.0;
    break;
  case ControlKind::MiniRgb:
    value_.ivec.type = HOST_VALUE_IVEC;
    value_.ivec.value[0] = value_.ivec.value[1] = value_.ivec.value[2] = 0;
    break;
  case ControlKind::ListBox:
    putInt(&value_, -1); // no row selected
    break;
  default:
    putInt(&value_, 0);
    break;
  }
}

PanelControl *PanelControl::from(HostControl *handle) {
  return handle != nullptr ? static_cast<PanelControl *>(handle->priv) : nullptr;
}

int PanelControl::width() const {
  switch (kind_) {
  case ControlKind::ListBox:
    return desc_.list.width;
  case ControlKind::Button:
    return desc_.area.width;
  case ControlKind::Area:
    return desc_.area.width + 2 * kOriginInset;
  case ControlKind::Popup:
    return desc_.choice.width;
  case ControlKind::Bool:
    return kBoolWidth;
  case ControlKind::MiniRgb:
    return kMiniRgbWidth;
  case ControlKind::Percent:
    return kPercentWidth;
  }
  return 0;
}

int PanelControl::height() const {
  switch (kind_) {
  case ControlKind::ListBox:
    return desc_.list.visibleRows * kListRowHeight;
  case ControlKind::Area:
    return desc_.area.height + 2 * kOriginInset;
  default:
    return kControlHeight;
  }
}

void PanelControl::setValue(const HostValue &holder) {
  switch (kind_) {
  case ControlKind::Percent:
    if (holder.type == HOST_VALUE_FLOAT) setFloat(holder.flt.value);
    if (holder.type == HOST_VALUE_INT) setFloat(static_cast<double>(holder.intv.value));
    break;
  case ControlKind::MiniRgb:
    if (holder.type == HOST_VALUE_IVEC)
      setRgb(holder.ivec.value[0], holder.ivec.value[1], holder.ivec.value[2]);
    break;
  default:
    if (holder.type == HOST_VALUE_INT) setInt(holder.intv.value);
    if (holder.type == HOST_VALUE_FLOAT) setInt(static_cast<intptr_t>(holder.flt.value));
    break;
  }
}

void PanelControl::setInt(intptr_t value) { putInt(&value_, value); }

void PanelControl::setFloat(double value) {
  value_.flt.type = HOST_VALUE_FLOAT;
  value_.flt.value = value;
}

void PanelControl::setRgb(int red, int green, int blue) {
  value_.ivec.type = HOST_VALUE_IVEC;
  value_.ivec.value[0] = red;
  value_.ivec.value[1] = green;
  value_.ivec.value[2] = blue;
}

std::vector<std::string> PanelControl::rows() const {
  std::vector<std::string> rows;
  if (kind_ != ControlKind::ListBox || desc_.list.count == nullptr) return rows;
  const int count = callModule(desc_.list.count, userData_);
  for (int row = 0; row < count; ++row) {
    const char *text =
        desc_.list.name != nullptr ? callModule(desc_.list.name, userData_, row) : nullptr;
    rows.emplace_back(text != nullptr ? text : "");
  }
  return rows;
}

void PanelControl::fire() {
  if (handler_ != nullptr) callModule(handler_, &handle_, userData_);
}

void PanelControl::draw(HostControl *handle, int mode) noexcept {
  PanelControl *self = from(handle);
  if (self == nullptr) return;
  self->lastDrawMode_ = mode;
  switch (mode) {
  case HOST_DRAW_ERASE:
    self->state_ = ControlState::Erased;
    break;
  case HOST_DRAW_RENDER:
    self->state_ = ControlState::Live;
    break;
  case HOST_DRAW_GHOST:
    self->state_ = ControlState::Ghosted;
    break;
  default: // a refresh redraws the contents as they are shown
    break;
  }
  if (PanelFront *front = self->panel_.front()) front->controlDrawn(*self, mode);
}

void PanelControl::get(HostControl *handle, int tag, HostValue *value) noexcept {
  PanelControl *self = from(handle);
  if (self == nullptr || value == nullptr) return;
  switch (tag) {
  case HOST_CTL_X:
    putInt(value, self->x_);
    break;
  case HOST_CTL_Y:
    putInt(value, self->y_);
    break;
  case HOST_CTL_W:
    putInt(value, self->width());
    break;
  case HOST_CTL_H:
    putInt(value, self->height());
    break;
  case HOST_CTL_VALUE:
    *value = self->value_;
    break;
  case HOST_CTL_HOTX:
    putInt(value, self->originX());
    break;
  case HOST_CTL_HOTY:
    putInt(value, self->originY());
    break;
  case HOST_CTL_MOUSEX:
    putInt(value, self->pointerX_);
    break;
  case HOST_CTL_EVENT:
    putInt(value, reinterpret_cast<intptr_t>(self->handler_));
    break;
  case HOST_CTL_USERDATA:
    putInt(value, reinterpret_cast<intptr_t>(self->userData_));
    break;
  default: // an unknown tag leaves the holder as it was
    break;
  }
}

void PanelControl::set(HostControl *handle, int tag, HostValue *value) noexcept {
  PanelControl *self = from(handle);
  if (self == nullptr || value == nullptr) return;
  // Positions, the pointer and the callback words travel as integers.
  const bool integer = value->type == HOST_VALUE_INT;
  switch (tag) {
  case HOST_CTL_X:
    if (integer) self->x_ = static_cast<int>(value->intv.value);
    break;
  case HOST_CTL_Y:
    if (integer) self->y_ = static_cast<int>(value->intv.value);
    break;
  case HOST_CTL_VALUE:
    self->setValue(*value);
    if (PanelFront *front = self->panel_.front()) front->controlValueSet(*self);
    break;
  case HOST_CTL_MOUSEX:
    if (integer) self->pointerX_ = static_cast<int>(value->intv.value);
    break;
  case HOST_CTL_EVENT:
    if (integer) self->handler_ = reinterpret_cast<HostCtlEventFunc *>(value->intv.value);
    break;
  case HOST_CTL_USERDATA:
    if (integer) self->userData_ = reinterpret_cast<void *>(value->intv.value);
    break;
  default: // sizes and the drawing region are read only
    break;
  }
}

// ---------------------------------------------------------------------------
// Canvas

void PanelCanvas::resize(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  const std::size_t count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  rgb_.assign(count * 3, 0);
  drawn_.assign(count, false);
}

void PanelCanvas::put(int x, int y, int red, int green, int blue) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  const std::size_t at =
      static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
  rgb_[at * 3] = static_cast<std::uint8_t>(clampChannel(red));
  rgb_[at * 3 + 1] = static_cast<std::uint8_t>(clampChannel(green));
  rgb_[at * 3 + 2] = static_cast<std::uint8_t>(clampChannel(blue));
  drawn_[at] = true;
}

void PanelCanvas::pixel(int red, int green, int blue, int x, int y) { put(x, y, red, green, blue); }

void PanelCanvas::box(int red, int green, int blue, int x, int y, int width, int height) {
  // Only the part on the canvas is walked, however large the box.
  const int x0 = std::max(x, 0), y0 = std::max(y, 0);
  const int x1 = std::min(x + std::max(width, 0), width_);
  const int y1 = std::min(y + std::max(height, 0), height_);
  for (int py = y0; py < y1; ++py) {
    for (int px = x0; px < x1; ++px) put(px, py, red, green, blue);
  }
}

void PanelCanvas::border(int indent, int x, int y, int width, int height) {
  const int dark = kBorderShade;
  const int light = indent != 0 ? kBorderLight : kBorderShade;
  if (width <= 0 && height <= 0) return;
  if (width <= 0) { // a vertical line
    box(dark, dark, dark, x, y, 1, height);
    return;
  }
  if (height <= 0) { // a horizontal line
    box(dark, dark, dark, x, y, width, 1);
    return;
  }
  box(light, light, light, x, y + height - 1, width, 1);
  box(light, light, light, x + width - 1, y, 1, height);
  box(dark, dark, dark, x, y, width, 1);
  box(dark, dark, dark, x, y, 1, height);
}

bool PanelCanvas::drawn(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return false;
  return drawn_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                static_cast<std::size_t>(x)];
}

std::array<std::uint8_t, 3> PanelCanvas::at(int x, int y) const {
  if (!drawn(x, y)) return {0, 0, 0};
  const std::size_t i =
      static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
  return {rgb_[i * 3], rgb_[i * 3 + 1], rgb_[i * 3 + 2]};
}

// ---------------------------------------------------------------------------
// Panels

Panel::Panel(std::string title, HostPanelFuncs *services)
    : title_(std::move(title)), services_(services) {}

PanelControl *Panel::addControl(const char *kind, const HostCtlDesc *desc, const char *label) {
  ControlKind parsed;
  if (kind == nullptr || desc == nullptr || !controlKindFromName(kind, parsed)) return nullptr;
  // Parameters made for another kind would be read as the wrong layout.
  if (desc->type != descTypeOf(parsed)) return nullptr;
  controls_.push_back(std::make_unique<PanelControl>(*this, static_cast<int>(controls_.size()),
                                                     parsed, *desc, label != nullptr ? label : ""));
  return controls_.back().get();
}

int Panel::width() const {
  int right = 0;
  for (const auto &control : controls_) right = std::max(right, control->x() + control->width());
  return std::max(requestedWidth_, right + kPanelMargin);
}

int Panel::height() const {
  int bottom = 0;
  for (const auto &control : controls_) bottom = std::max(bottom, control->y() + control->height());
  return std::max(requestedHeight_, bottom + kPanelMargin);
}

void Panel::get(int tag, void *value) const {
  if (value == nullptr) return;
  switch (tag) {
  case HOST_PAN_X:
    *static_cast<int *>(value) = x_;
    break;
  case HOST_PAN_Y:
    *static_cast<int *>(value) = y_;
    break;
  case HOST_PAN_W:
    *static_cast<int *>(value) = width();
    break;
  case HOST_PAN_H:
    *static_cast<int *>(value) = height();
    break;
  case HOST_PAN_DRAWFUNC:
    *static_cast<HostPanDrawFunc **>(value) = drawFunc_;
    break;
  case HOST_PAN_USERDATA:
    *static_cast<void **>(value) = drawData_;
    break;
  default:
    break;
  }
}

void Panel::set(int tag, void *value) {
  switch (tag) {
  case HOST_PAN_X:
    if (value != nullptr) x_ = *static_cast<int *>(value);
    break;
  case HOST_PAN_Y:
    if (value != nullptr) y_ = *static_cast<int *>(value);
    break;
  case HOST_PAN_W:
    if (value != nullptr) requestedWidth_ = *static_cast<int *>(value);
    break;
  case HOST_PAN_H:
    if (value != nullptr) requestedHeight_ = *static_cast<int *>(value);
    break;
  case HOST_PAN_DRAWFUNC: // the callback and the user data come as themselves
    drawFunc_ = reinterpret_cast<HostPanDrawFunc *>(value);
    break;
  case HOST_PAN_USERDATA:
    drawData_ = value;
    break;
  default:
    break;
  }
}

void Panel::draw() {
  if (drawFunc_ != nullptr) callModule(drawFunc_, static_cast<HostPanelID>(this), drawData_);
}

// ---------------------------------------------------------------------------
// The service

PanelService::PanelService(ServiceRegistry &registry)
    : registry_(registry), drawFuncs_{&PanelService::drawRGBPixel, &PanelService::drawRGBBox,
                                      &PanelService::drawBorder, &PanelService::dispMetrics},
      record_{&PanelService::create,     &PanelService::destroy,
              &PanelService::open,       &PanelService::close,
              &PanelService::get,        &PanelService::set,
              &PanelService::addControl, &drawFuncs_},
      display_{kDisplayWidth, kDisplayHeight, 1, 1, 1 << 24} {
  registry_.attach(this);
  registry_.provide(HOST_PANEL_SERVICES, &record_);
}

PanelService::~PanelService() {
  if (registry_.find(HOST_PANEL_SERVICES) == &record_) registry_.withdraw(HOST_PANEL_SERVICES);
  registry_.detach(this);
}

void PanelService::rethrowSessionError() {
  if (sessionError_ == nullptr) return;
  std::exception_ptr error = std::exchange(sessionError_, nullptr);
  std::rethrow_exception(error);
}

Panel *PanelService::live(HostPanelID id) const {
  for (const auto &panel : panels_) {
    if (panel.get() == id) return panel.get();
  }
  return nullptr;
}

Panel *PanelService::current(HostPanelID id) {
  PanelService *self = ServiceRegistry::currentOwner<PanelService>();
  return self != nullptr ? self->live(id) : nullptr;
}

HostPanelID PanelService::create(const char *title, HostPanelFuncs *services) noexcept {
  PanelService *self = ServiceRegistry::currentOwner<PanelService>();
  if (self == nullptr) return nullptr;
  try {
    self->panels_.push_back(std::make_unique<Panel>(title != nullptr ? title : "", services));
  } catch (...) {
    return nullptr;
  }
  return self->panels_.back().get();
}

void PanelService::destroy(HostPanelID id) noexcept {
  PanelService *self = ServiceRegistry::currentOwner<PanelService>();
  if (self == nullptr) return;
  auto &panels = self->panels_;
  panels.erase(std::remove_if(panels.begin(), panels.end(),
                              [id](const std::unique_ptr<Panel> &p) { return p.get() == id; }),
               panels.end());
}

int PanelService::open(HostPanelID id, int flags) noexcept {
  PanelService *self = ServiceRegistry::currentOwner<PanelService>();
  Panel *panel = self != nullptr ? self->live(id) : nullptr;
  if (panel == nullptr) return 0;
  try {
    panel->open_ = true;
    panel->closeRequested_ = false;
    panel->canvas_.resize(panel->width(), panel->height());
    panel->draw();
    if ((flags & HOST_PANF_BLOCKING) != 0) {
      if (self->openHandler_) self->openHandler_(*panel);
      panel->open_ = false;
    }
  } catch (...) {
    self->sessionError_ = std::current_exception();
    panel->open_ = false;
  }
  return 1;
}

void PanelService::close(HostPanelID id) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return;
  panel->requestClose();
  if (PanelFront *front = panel->front()) front->closeRequested(*panel);
}

void PanelService::get(HostPanelID id, int tag, void *value) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return;
  panel->get(tag, value);
}

void PanelService::set(HostPanelID id, int tag, void *value) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return;
  panel->set(tag, value);
}

HostControl *PanelService::addControl(HostPanelID id, const char *kind, HostCtlDesc *desc,
                                      const char *label) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return nullptr;
  const PanelService *self = ServiceRegistry::currentOwner<PanelService>();
  ControlKind known;
  if (kind != nullptr && controlKindFromName(kind, known) && self->refused_.count(known) != 0)
    return nullptr;
  try {
    PanelControl *control = panel->addControl(kind, desc, label);
    return control != nullptr ? control->handle() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

void PanelService::drawRGBPixel(HostPanelID id, int red, int green, int blue, int x,
                                int y) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return;
  panel->canvas_.pixel(red, green, blue, x, y);
  if (PanelFront *front = panel->front()) front->canvasDrawn(*panel);
}

void PanelService::drawRGBBox(HostPanelID id, int red, int green, int blue, int x, int y, int width,
                              int height) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return;
  panel->canvas_.box(red, green, blue, x, y, width, height);
  if (PanelFront *front = panel->front()) front->canvasDrawn(*panel);
}

void PanelService::drawBorder(HostPanelID id, int indent, int x, int y, int width,
                              int height) noexcept {
  Panel *panel = current(id);
  if (panel == nullptr) return;
  panel->canvas_.border(indent, x, y, width, height);
  if (PanelFront *front = panel->front()) front->canvasDrawn(*panel);
}

const HostDisplayMetrics *PanelService::dispMetrics() noexcept {
  PanelService *self = ServiceRegistry::currentOwner<PanelService>();
  return self != nullptr ? &self->display_ : nullptr;
}

} // namespace qx
