// A host's "LWPanelServices" for tests: records every panel and control the
// module makes, what it sets on them and how it draws them, keeps an RGB
// canvas for the drawing operations, and runs a test's function while the
// panel is open, so that tests can fire events mid-session. Installed as the
// module's global lookup for the life of the object; every other service is
// asked of the lookup that was installed before (FakeSurfaces, for example).
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module.h"

// One control as the module made it.
struct FakeControl {
  HostControl handle{}; // what the module holds; priv leads back here
  int number = 0;       // creation order
  std::string kind;
  std::string label;
  HostCtlDesc desc{};
  int x = -1, y = -1;
  HostValue value{}; // the last value set with HOST_CTL_VALUE
  bool valueSet = false;
  std::vector<int> draws; // draw modes, in order
  HostCtlEventFunc *handler = nullptr;
  void *userData = nullptr;
  int mouseX = 0;
  int lastDraw() const { return draws.empty() ? -1 : draws.back(); }
};

// One drawBorder call.
struct FakeBorder {
  int indent, x, y, width, height;
};

// One panel as the module made it, with its canvas.
struct FakePanel {
  static constexpr int kCanvasW = 640;
  static constexpr int kCanvasH = 480;
  static constexpr int kUntouched = -1; // canvas channel never drawn

  std::string title;
  std::vector<std::unique_ptr<FakeControl>> controls;
  int width = -1, height = -1, x = -1, y = -1;
  HostPanDrawFunc *drawFunc = nullptr;
  void *drawData = nullptr;
  int openFlags = -1;
  bool opened = false;
  bool destroyed = false;

  std::vector<std::array<int, 3>> canvas =
      std::vector<std::array<int, 3>>(kCanvasW * kCanvasH, {kUntouched, kUntouched, kUntouched});
  long pixelCalls = 0;
  long boxCalls = 0;
  std::vector<FakeBorder> borders;
  std::vector<std::string> faults; // drawing outside the canvas or with bad values

  FakeControl &control(int number) { return *controls.at(static_cast<size_t>(number)); }
  std::array<int, 3> at(int px, int py) const {
    return canvas[static_cast<size_t>(py * kCanvasW + px)];
  }
  void clearCanvas() {
    for (auto &p : canvas) p = {kUntouched, kUntouched, kUntouched};
    pixelCalls = boxCalls = 0;
  }
  void plot(int red, int green, int blue, int px, int py) {
    if (px < 0 || py < 0 || px >= kCanvasW || py >= kCanvasH) {
      faults.push_back("pixel outside the canvas at " + std::to_string(px) + "," +
                       std::to_string(py));
      return;
    }
    for (int v : {red, green, blue}) {
      if (v < 0 || v > 255) faults.push_back("channel " + std::to_string(v) + " outside 0 to 255");
    }
    canvas[static_cast<size_t>(py * kCanvasW + px)] = {red, green, blue};
  }
};

class FakePanelHost {
public:
  // Where the fake puts a control's drawing region relative to its position,
  // so that a module reading the position instead of the region shows.
  static constexpr int kHotDX = 3;
  static constexpr int kHotDY = 4;

  bool offerPanels = true; // answer "LWPanelServices"
  bool failCreate = false; // the panel's create gives null
  // Destroying a panel releases its controls, as a real host does, so that a
  // module still reaching them after the panel closed shows under ASan.
  bool releaseOnDestroy = false;
  HostDisplayMetrics display{1920, 1080, 1, 1, 1 << 24};
  // Runs while the panel is open, before the blocking open returns.
  std::function<void(FakePanel &)> onOpen;
  // Every draw and set on any control, in order: (control number, mode or tag).
  std::vector<std::pair<int, int>> drawLog;
  std::vector<std::pair<int, int>> setLog;
  // Panel attribute tags in the order they were set.
  std::vector<int> panelSets;

  FakePanelHost() : saved_(global_func), previous_(current()) {
    current() = this;
    global_func = Lookup;
    draw_.drawRGBPixel = DrawRGBPixel;
    draw_.drawRGBBox = DrawRGBBox;
    draw_.drawBorder = DrawBorder;
    draw_.dispMetrics = DispMetrics;
    funcs_.create = Create;
    funcs_.destroy = Destroy;
    funcs_.open = Open;
    funcs_.close = Close;
    funcs_.get = PanelGet;
    funcs_.set = PanelSet;
    funcs_.addControl = AddControl;
    funcs_.drawFuncs = &draw_;
  }
  ~FakePanelHost() {
    global_func = saved_;
    current() = previous_;
  }
  FakePanelHost(const FakePanelHost &) = delete;
  FakePanelHost &operator=(const FakePanelHost &) = delete;

  HostPanelFuncs *services() { return &funcs_; }
  // The panel made last, or null.
  FakePanel *panel() { return panels_.empty() ? nullptr : panels_.back().get(); }
  size_t panelCount() const { return panels_.size(); }

private:
  static FakePanelHost *&current() {
    static FakePanelHost *host = nullptr;
    return host;
  }
  static FakePanel *PanelOf(HostPanelID id) { return static_cast<FakePanel *>(id); }
  static FakeControl *ControlOf(HostControl *control) {
    return static_cast<FakeControl *>(control->priv);
  }

  static void *Lookup(const char *name, int useMode) {
    FakePanelHost *host = current();
    if (std::string(name) == HOST_PANEL_SERVICES)
      return host->offerPanels ? &host->funcs_ : nullptr;
    return host->saved_ != nullptr ? host->saved_(name, useMode) : nullptr;
  }

  static HostPanelID Create(const char *title, HostPanelFuncs *) {
    FakePanelHost *host = current();
    if (host->failCreate) return nullptr;
    host->panels_.push_back(std::make_unique<FakePanel>());
    host->panels_.back()->title = title;
    return host->panels_.back().get();
  }
  static void Destroy(HostPanelID panel) {
    PanelOf(panel)->destroyed = true;
    if (current()->releaseOnDestroy) PanelOf(panel)->controls.clear();
  }
  static int Open(HostPanelID panel, int flags) {
    FakePanel *p = PanelOf(panel);
    p->openFlags = flags;
    p->opened = true;
    if (current()->onOpen) current()->onOpen(*p);
    return 1;
  }
  static void Close(HostPanelID) {}
  static void PanelGet(HostPanelID, int, void *) {}
  static void PanelSet(HostPanelID panel, int tag, void *value) {
    FakePanel *p = PanelOf(panel);
    current()->panelSets.push_back(tag);
    switch (tag) {
    case HOST_PAN_X:
      p->x = *static_cast<int *>(value);
      break;
    case HOST_PAN_Y:
      p->y = *static_cast<int *>(value);
      break;
    case HOST_PAN_W:
      p->width = *static_cast<int *>(value);
      break;
    case HOST_PAN_H:
      p->height = *static_cast<int *>(value);
      break;
    case HOST_PAN_DRAWFUNC:
      p->drawFunc = reinterpret_cast<HostPanDrawFunc *>(value);
      break;
    case HOST_PAN_USERDATA:
      p->drawData = value;
      break;
    default:
      break;
    }
  }
  static HostControl *AddControl(HostPanelID panel, const char *kind, HostCtlDesc *desc,
                                 const char *label) {
    FakePanel *p = PanelOf(panel);
    auto control = std::make_unique<FakeControl>();
    control->number = static_cast<int>(p->controls.size());
    control->kind = kind;
    control->label = label;
    control->desc = *desc;
    control->handle.draw = CtlDraw;
    control->handle.get = CtlGet;
    control->handle.set = CtlSet;
    control->handle.priv = control.get();
    p->controls.push_back(std::move(control));
    return &p->controls.back()->handle;
  }

  static void CtlDraw(HostControl *control, int mode) {
    FakeControl *c = ControlOf(control);
    c->draws.push_back(mode);
    current()->drawLog.emplace_back(c->number, mode);
  }
  static void CtlGet(HostControl *control, int tag, HostValue *value) {
    FakeControl *c = ControlOf(control);
    auto integer = [value](intptr_t v) {
      value->intv.type = HOST_VALUE_INT;
      value->intv.value = v;
    };
    switch (tag) {
    case HOST_CTL_X:
      integer(c->x);
      break;
    case HOST_CTL_Y:
      integer(c->y);
      break;
    case HOST_CTL_HOTX:
      integer(c->x + kHotDX);
      break;
    case HOST_CTL_HOTY:
      integer(c->y + kHotDY);
      break;
    case HOST_CTL_MOUSEX:
      integer(c->mouseX);
      break;
    case HOST_CTL_VALUE:
      *value = c->value;
      break;
    case HOST_CTL_EVENT:
      integer(reinterpret_cast<intptr_t>(c->handler));
      break;
    case HOST_CTL_USERDATA:
      integer(reinterpret_cast<intptr_t>(c->userData));
      break;
    default:
      break;
    }
  }
  static void CtlSet(HostControl *control, int tag, HostValue *value) {
    FakeControl *c = ControlOf(control);
    current()->setLog.emplace_back(c->number, tag);
    switch (tag) {
    case HOST_CTL_X:
      c->x = static_cast<int>(value->intv.value);
      break;
    case HOST_CTL_Y:
      c->y = static_cast<int>(value->intv.value);
      break;
    case HOST_CTL_VALUE:
      c->value = *value;
      c->valueSet = true;
      break;
    case HOST_CTL_EVENT:
      c->handler = reinterpret_cast<HostCtlEventFunc *>(value->intv.value);
      break;
    case HOST_CTL_USERDATA:
      c->userData = reinterpret_cast<void *>(value->intv.value);
      break;
    default:
      break;
    }
  }

  static void DrawRGBPixel(HostPanelID panel, int red, int green, int blue, int x, int y) {
    FakePanel *p = PanelOf(panel);
    ++p->pixelCalls;
    p->plot(red, green, blue, x, y);
  }
  static void DrawRGBBox(HostPanelID panel, int red, int green, int blue, int x, int y, int width,
                         int height) {
    FakePanel *p = PanelOf(panel);
    ++p->boxCalls;
    for (int py = y; py < y + height; ++py) {
      for (int px = x; px < x + width; ++px) p->plot(red, green, blue, px, py);
    }
  }
  static void DrawBorder(HostPanelID panel, int indent, int x, int y, int width, int height) {
    PanelOf(panel)->borders.push_back({indent, x, y, width, height});
  }
  static const HostDisplayMetrics *DispMetrics() { return &current()->display; }

  HostGlobalFunc *saved_;
  FakePanelHost *previous_;
  HostPanelFuncs funcs_{};
  HostDrawFuncs draw_{};
  std::vector<std::unique_ptr<FakePanel>> panels_;
};
