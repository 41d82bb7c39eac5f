// The panel services, "LWPanelServices", kept headless: panels, their
// controls, and a canvas that takes the module's drawing.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "loader/services.h"
#include "qx/host.h"

namespace qx {

class Panel;
class PanelControl;
class PanelService;

// What shows a panel to a person. The headless service has none; the window
// host (host/window/) attaches one while the panel is open and shows each
// control as a widget. The panel tells its front of every change the module
// makes, as it happens: a front keeps nothing of its own that could go stale.
// The calls come from inside the module's callbacks, so none may throw.
class PanelFront {
public:
  virtual ~PanelFront() = default;
  // The control was drawn in `mode` (HOST_DRAW_*); its state() is the new one.
  virtual void controlDrawn(PanelControl &control, int mode) noexcept = 0;
  // The module set the control's value.
  virtual void controlValueSet(PanelControl &control) noexcept = 0;
  // The module drew on the panel's canvas.
  virtual void canvasDrawn(Panel &panel) noexcept = 0;
  // The module closed the panel.
  virtual void closeRequested(Panel &panel) noexcept = 0;
};

// The control kinds this host makes, by their HOST_KIND_* names.
enum class ControlKind { ListBox, Bool, Button, Popup, MiniRgb, Percent, Area };

// The kind named `name`; false for a name this host does not know.
bool controlKindFromName(const std::string &name, ControlKind &kind);
const char *controlKindName(ControlKind kind);

// How a control was last drawn: Normal until its first draw, then the state
// of the last erase, render or ghost. A refresh keeps the state it finds.
enum class ControlState { Normal, Erased, Live, Ghosted };
const char *controlStateName(ControlState state);

// Geometry of the controls. A control's drawing region starts kOriginInset
// pixels right of and below its position; an area's frame is that inset all
// round, so its drawing region has exactly the width and height it was made
// with. Kinds without a width of their own get a fixed one.
inline constexpr int kOriginInset = 2;
inline constexpr int kListRowHeight = 15;
inline constexpr int kControlHeight = 20;
inline constexpr int kBoolWidth = 20;
inline constexpr int kMiniRgbWidth = 96;
inline constexpr int kPercentWidth = 128;
// Space kept between the rightmost (lowest) control and the panel's edge.
inline constexpr int kPanelMargin = 20;

// One control. The module holds its HostControl; `priv` leads back here.
class PanelControl {
public:
  PanelControl(Panel &panel, int index, ControlKind kind, const HostCtlDesc &desc,
               std::string label);
  PanelControl(const PanelControl &) = delete;
  PanelControl &operator=(const PanelControl &) = delete;

  // The control behind a handle the module passes; null for null.
  static PanelControl *from(HostControl *handle);
  HostControl *handle() { return &handle_; }
  Panel &panel() const { return panel_; }

  int index() const { return index_; }
  ControlKind kind() const { return kind_; }
  const std::string &label() const { return label_; }
  // The creation parameters as given; a popup's item list points into the
  // control's own copy of the texts.
  const HostCtlDesc &desc() const { return desc_; }
  const std::vector<std::string> &items() const { return items_; }

  int x() const { return x_; }
  int y() const { return y_; }
  int width() const;
  int height() const;
  int originX() const { return x_ + kOriginInset; }
  int originY() const { return y_ + kOriginInset; }

  ControlState state() const { return state_; }
  int lastDrawMode() const { return lastDrawMode_; } // -1 before the first draw

  // The value, in the holder type of the kind: an integer for list boxes
  // (the selected row, -1 at first), check boxes, popups, buttons and areas;
  // a double for percent controls; three integers for the colour swatch.
  const HostValue &value() const { return value_; }
  // Sets the value from any holder; integers and doubles convert into each
  // other, and a holder that fits neither kind is ignored.
  void setValue(const HostValue &holder);
  void setInt(intptr_t value);
  void setFloat(double value);
  void setRgb(int red, int green, int blue);

  // The pointer's x over the control, as the next event sees it.
  int pointerX() const { return pointerX_; }
  void setPointerX(int x) { pointerX_ = x; }

  HostCtlEventFunc *handler() const { return handler_; }
  void *userData() const { return userData_; }

  // A list box's rows as its callbacks give them now: the count callback,
  // then the row callback for each row, the bytes as the module wrote them.
  // Empty for other kinds.
  std::vector<std::string> rows() const;

  // Delivers one event: the handler, if any, with the control and its user
  // data.
  void fire();

private:
  static void draw(HostControl *handle, int mode) noexcept;
  static void get(HostControl *handle, int tag, HostValue *value) noexcept;
  static void set(HostControl *handle, int tag, HostValue *value) noexcept;

  Panel &panel_;
  HostControl handle_;
  int index_;
  ControlKind kind_;
  std::string label_;
  HostCtlDesc desc_;
  std::vector<std::string> items_;
  std::vector<const char *> itemPointers_;
  int x_ = 0, y_ = 0;
  ControlState state_ = ControlState::Normal;
  int lastDrawMode_ = -1;
  HostValue value_{};
  int pointerX_ = 0;
  HostCtlEventFunc *handler_ = nullptr;
  void *userData_ = nullptr;
};

// What the module draws on a panel: RGB pixels, each either drawn or not.
// Drawing outside the canvas is clipped; channels are held to 0..255.
class PanelCanvas {
public:
  // The shade of a border line (all three channels).
  static constexpr std::uint8_t kBorderShade = 96;
  // The light edge of an indented border.
  static constexpr std::uint8_t kBorderLight = 255;

  // Clears the canvas to the new size.
  void resize(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }

  void pixel(int red, int green, int blue, int x, int y);
  void box(int red, int green, int blue, int x, int y, int width, int height);
  // A frame around the rectangle; a width or height of 0 gives a straight
  // line of the other length. Indent 0 draws every edge in the border shade;
  // any other indent draws the top and left edges in the border shade and the
  // bottom and right edges light, the look of a sunken frame.
  void border(int indent, int x, int y, int width, int height);

  bool drawn(int x, int y) const;
  // The pixel's red, green, blue; 0, 0, 0 where nothing was drawn or outside.
  std::array<std::uint8_t, 3> at(int x, int y) const;

private:
  void put(int x, int y, int red, int green, int blue);

  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> rgb_;
  std::vector<bool> drawn_;
};

// One panel and its controls.
class Panel {
public:
  Panel(std::string title, HostPanelFuncs *services);
  Panel(const Panel &) = delete;
  Panel &operator=(const Panel &) = delete;

  HostPanelID id() { return this; }
  const std::string &title() const { return title_; }
  HostPanelFuncs *services() const { return services_; }

  // Adds a control; null when the kind is unknown or the parameters are
  // missing.
  PanelControl *addControl(const char *kind, const HostCtlDesc *desc, const char *label);
  std::size_t controlCount() const { return controls_.size(); }
  PanelControl &control(std::size_t index) { return *controls_.at(index); }
  const PanelControl &control(std::size_t index) const { return *controls_.at(index); }

  // The size the module set (0 while unset), and the size the panel has: no
  // less than the size set, and wide and tall enough for every control with
  // kPanelMargin to spare.
  int requestedWidth() const { return requestedWidth_; }
  int requestedHeight() const { return requestedHeight_; }
  int width() const;
  int height() const;
  int x() const { return x_; }
  int y() const { return y_; }

  // Panel attributes by HOST_PAN_* tag.
  void get(int tag, void *value) const;
  void set(int tag, void *value);

  bool isOpen() const { return open_; }
  bool closeRequested() const { return closeRequested_; }
  void requestClose() { closeRequested_ = true; }

  // The module's drawing. Made at the panel's size when the panel opens.
  PanelCanvas &canvas() { return canvas_; }
  const PanelCanvas &canvas() const { return canvas_; }
  // Has the module draw the panel: its draw callback with its user data.
  void draw();

  // The front that shows the panel, told of every change; null for none.
  PanelFront *front() const { return front_; }
  void setFront(PanelFront *front) { front_ = front; }

private:
  friend class PanelService;

  std::string title_;
  HostPanelFuncs *services_;
  std::vector<std::unique_ptr<PanelControl>> controls_;
  int requestedWidth_ = 0, requestedHeight_ = 0;
  int x_ = 0, y_ = 0;
  HostPanDrawFunc *drawFunc_ = nullptr;
  void *drawData_ = nullptr;
  bool open_ = false;
  bool closeRequested_ = false;
  PanelCanvas canvas_;
  PanelFront *front_ = nullptr;
};

// Serves "LWPanelServices". A blocking open draws the panel once, then hands
// it to the open handler (a scripted session, a test), and returns when the
// handler does: that is the user closing the panel. Nothing the handler
// throws passes through the module; it is kept and thrown again by
// rethrowSessionError().
class PanelService {
public:
  using OpenHandler = std::function<void(Panel &)>;

  // The display panels open on.
  static constexpr int kDisplayWidth = 1920;
  static constexpr int kDisplayHeight = 1080;

  // Provides "LWPanelServices" in `registry` and attaches itself there.
  explicit PanelService(ServiceRegistry &registry);
  ~PanelService();
  PanelService(const PanelService &) = delete;
  PanelService &operator=(const PanelService &) = delete;

  HostPanelFuncs *record() { return &record_; }
  const HostDisplayMetrics &display() const { return display_; }
  // The display the module is told of; 1920 by 1080 headless, the screen's
  // own in a window.
  void setDisplay(const HostDisplayMetrics &display) { display_ = display; }

  void setOpenHandler(OpenHandler handler) { openHandler_ = std::move(handler); }
  // Throws what the last blocking session threw, once.
  void rethrowSessionError();

  // From now on controls of `kind` are not made: the module's request for one
  // gets null, as from a host without that kind of control.
  void refuseKind(ControlKind kind) { refused_.insert(kind); }

  // Panels made and not destroyed, in order of creation.
  std::size_t panelCount() const { return panels_.size(); }
  Panel *lastPanel() { return panels_.empty() ? nullptr : panels_.back().get(); }

private:
  Panel *live(HostPanelID id) const;
  // The panel behind an ID handed to a context-free service function; null
  // when no panel service is current or the ID is none of its panels.
  static Panel *current(HostPanelID id);

  static HostPanelID create(const char *title, HostPanelFuncs *services) noexcept;
  static void destroy(HostPanelID panel) noexcept;
  static int open(HostPanelID panel, int flags) noexcept;
  static void close(HostPanelID panel) noexcept;
  static void get(HostPanelID panel, int tag, void *value) noexcept;
  static void set(HostPanelID panel, int tag, void *value) noexcept;
  static HostControl *addControl(HostPanelID panel, const char *kind, HostCtlDesc *desc,
                                 const char *label) noexcept;
  static void drawRGBPixel(HostPanelID panel, int red, int green, int blue, int x, int y) noexcept;
  static void drawRGBBox(HostPanelID panel, int red, int green, int blue, int x, int y, int width,
                         int height) noexcept;
  static void drawBorder(HostPanelID panel, int indent, int x, int y, int width,
                         int height) noexcept;
  static const HostDisplayMetrics *dispMetrics() noexcept;

  ServiceRegistry &registry_;
  HostDrawFuncs drawFuncs_;
  HostPanelFuncs record_;
  HostDisplayMetrics display_;
  std::vector<std::unique_ptr<Panel>> panels_;
  OpenHandler openHandler_;
  std::exception_ptr sessionError_;
  std::set<ControlKind> refused_;
};

} // namespace qx
