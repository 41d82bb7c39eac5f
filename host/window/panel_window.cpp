// The panel's window: one widget per control kind, the canvas behind them.
#include "window/panel_window.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Value_Slider.H>
#include <FL/fl_draw.H>

// X11's headers, pulled in by FLTK's, name a type Bool by a macro; the
// control kind of the same name is meant here.
#ifdef Bool
#undef Bool
#endif

#include <algorithm>
#include <array>
#include <cstdint>

#include "scripts/panel_dump.h"
#include "window/window_services.h"

namespace qx {
namespace {

constexpr Fl_Fontsize kTextSize = 12;
constexpr Fl_Fontsize kCaptionSize = 11;
constexpr Fl_Fontsize kListTextSize = 11;
// Space between a control and a caption beside it.
constexpr int kCaptionGap = 3;

// The font of the lists, registered once.
Fl_Font listFont() {
  static const Fl_Font font = [] {
    // The first character names the style: a space for plain.
    static const std::string name = std::string(" ") + kListFontName;
    Fl::set_font(FL_FREE_FONT, name.c_str());
    return FL_FREE_FONT;
  }();
  return font;
}

// A text as a label shows it: FLTK reads '@' as a symbol and '&' as a
// shortcut mark, so both are doubled.
std::string labelText(const std::string &text) {
  std::string out;
  for (const char c : text) {
    if (c == '@' || c == '&') out += c;
    out += c;
  }
  return out;
}

// The panel's background, as in the headless picture.
Fl_Color background() {
  return fl_rgb_color(kPictureBackground, kPictureBackground, kPictureBackground);
}

void ignoreCallback(Fl_Widget *, void *) {}

} // namespace

// One control's widget: shows the control's value and hands the user's
// changes to it. The window owns the widget; the control outlives both.
class ControlWidget {
public:
  ControlWidget(PanelWindow &window, PanelControl &control) : window_(window), control_(control) {}
  virtual ~ControlWidget() = default;
  ControlWidget(const ControlWidget &) = delete;
  ControlWidget &operator=(const ControlWidget &) = delete;

  virtual Fl_Widget &widget() = 0;
  // Shows the control's value as the model holds it.
  virtual void showValue() = 0;
  // Reads a list's rows again.
  virtual void reload() {}
  // A value entered through the widget's own input (see PanelWindow::enter).
  virtual void enter(const std::vector<double> &values, int pointerX) = 0;

  PanelControl &control() { return control_; }
  // A caption beside the widget, for the kinds that show none of their own.
  void setCaption(Fl_Box *caption) { caption_ = caption; }

  // Shows the control in a drawing state.
  void showState(ControlState state) {
    Fl_Widget &w = widget();
    switch (state) {
    case ControlState::Erased:
      w.hide();
      break;
    case ControlState::Ghosted:
      w.show();
      w.deactivate();
      break;
    case ControlState::Normal:
    case ControlState::Live:
      w.show();
      w.activate();
      break;
    }
    if (caption_ == nullptr) return;
    if (w.visible()) {
      caption_->show();
    } else {
      caption_->hide();
    }
    if (w.active()) {
      caption_->activate();
    } else {
      caption_->deactivate();
    }
  }

protected:
  PanelWindow &window_;
  PanelControl &control_;
  Fl_Box *caption_ = nullptr;
};

namespace {

// List box: rows from the count and row callbacks. A pick is a click on a
// row, or a move of the selection by keyboard; either sets the value to the
// row and fires, even for the row already selected.
class ListWidget : public Fl_Hold_Browser, public ControlWidget {
public:
  ListWidget(PanelWindow &window, PanelControl &control)
      : Fl_Hold_Browser(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control) {
    format_char(0); // rows are text, never formatting
    has_scrollbar(VERTICAL);
    textfont(listFont());
    textsize(kListTextSize);
    when(FL_WHEN_NEVER);
    callback(ignoreCallback);
    reload();
  }

  Fl_Widget &widget() override { return *this; }

  void reload() override {
    const int scrolled = position();
    clear();
    for (const std::string &row : control_.rows()) add(shiftJisToUtf8(row).c_str());
    position(scrolled);
    showValue();
  }

  void showValue() override {
    const intptr_t row = control_.value().intv.value;
    if (row >= 0 && row < size()) {
      value(static_cast<int>(row) + 1);
    } else {
      deselect();
    }
  }

  int handle(int event) override {
    if (event == FL_PUSH) {
      int x0 = 0, y0 = 0, w0 = 0, h0 = 0;
      bbox(x0, y0, w0, h0);
      pushedOnRows_ = Fl::event_inside(x0, y0, w0, h0) != 0;
    }
    const int before = value();
    const int used = Fl_Hold_Browser::handle(event);
    if (event == FL_RELEASE && pushedOnRows_) {
      pushedOnRows_ = false;
      deliverRow(value() - 1);
    } else if (event == FL_KEYBOARD && used != 0 && value() != before) {
      deliverRow(value() - 1);
    }
    return used;
  }

  void enter(const std::vector<double> &values, int) override {
    pick(static_cast<int>(values.at(0)));
  }

  // The middle of a row, scrolled into view; false for a row the list has not.
  bool pointOnRow(int row, int &px, int &py) {
    if (row < 0 || row >= size()) return false;
    if (!displayed(row + 1)) middleline(row + 1);
    const void *item = item_at(row + 1);
    int x0 = 0, y0 = 0, w0 = 0, h0 = 0;
    bbox(x0, y0, w0, h0);
    int top = -1, bottom = -1;
    for (int y = y0; y < y0 + h0; ++y) {
      if (find_item(y) != item) continue;
      if (top < 0) top = y;
      bottom = y;
    }
    if (top < 0) return false;
    px = x0 + w0 / 2;
    py = (top + bottom) / 2;
    return true;
  }

  // Selects `row` as a click on it does, and delivers it.
  void pick(intptr_t row) {
    if (row >= 0 && row < size()) {
      value(static_cast<int>(row) + 1);
    } else {
      deselect();
    }
    deliverRow(row);
  }

private:
  void deliverRow(intptr_t row) {
    control_.setInt(row);
    window_.deliver(control_);
  }

  bool pushedOnRows_ = false;
};

class CheckWidget : public Fl_Check_Button, public ControlWidget {
public:
  CheckWidget(PanelWindow &window, PanelControl &control)
      : Fl_Check_Button(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control) {
    callback(changed, this);
    showValue();
  }
  Fl_Widget &widget() override { return *this; }
  void showValue() override { value(control_.value().intv.value != 0 ? 1 : 0); }
  void enter(const std::vector<double> &values, int) override {
    value(values.at(0) != 0.0 ? 1 : 0);
    changed(this, this);
  }

private:
  static void changed(Fl_Widget *, void *data) {
    CheckWidget *self = static_cast<CheckWidget *>(data);
    self->control_.setInt(self->value());
    self->window_.deliver(self->control_);
  }
};

class ButtonWidget : public Fl_Button, public ControlWidget {
public:
  ButtonWidget(PanelWindow &window, PanelControl &control)
      : Fl_Button(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control), text_(labelText(control.label())) {
    label(text_.c_str());
    labelsize(kTextSize);
    callback(clicked, this);
  }
  Fl_Widget &widget() override { return *this; }
  void showValue() override {}
  void enter(const std::vector<double> &, int) override { clicked(this, this); }

private:
  static void clicked(Fl_Widget *, void *data) {
    ButtonWidget *self = static_cast<ButtonWidget *>(data);
    self->window_.deliver(self->control_);
  }
  std::string text_;
};

// Popup: the control's items, as given. Picking an item fires, even the item
// already shown.
class ChoiceWidget : public Fl_Choice, public ControlWidget {
public:
  ChoiceWidget(PanelWindow &window, PanelControl &control)
      : Fl_Choice(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control) {
    for (const std::string &item : control.items()) texts_.push_back(labelText(item));
    for (const std::string &text : texts_) {
      Fl_Menu_Item item{};
      item.text = text.c_str();
      item.labelsize_ = kTextSize;
      items_.push_back(item);
    }
    items_.push_back(Fl_Menu_Item{}); // the end of the menu
    menu(items_.data());
    textsize(kTextSize);
    when(FL_WHEN_RELEASE | FL_WHEN_NOT_CHANGED);
    callback(chosen, this);
    showValue();
  }
  Fl_Widget &widget() override { return *this; }
  void showValue() override {
    const intptr_t index = control_.value().intv.value;
    if (index >= 0 && static_cast<std::size_t>(index) < texts_.size()) {
      value(static_cast<int>(index));
    } else {
      value(static_cast<const Fl_Menu_Item *>(nullptr));
    }
  }
  void enter(const std::vector<double> &values, int) override {
    const std::size_t index = static_cast<std::size_t>(values.at(0));
    if (index < texts_.size()) Fl_Choice::picked(&items_[index]);
  }

private:
  static void chosen(Fl_Widget *, void *data) {
    ChoiceWidget *self = static_cast<ChoiceWidget *>(data);
    self->control_.setInt(self->value());
    self->window_.deliver(self->control_);
  }
  std::vector<std::string> texts_;
  std::vector<Fl_Menu_Item> items_;
};

// Percent: 0 to 100, firing while dragged.
class PercentWidget : public Fl_Value_Slider, public ControlWidget {
public:
  PercentWidget(PanelWindow &window, PanelControl &control)
      : Fl_Value_Slider(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control) {
    type(FL_HOR_NICE_SLIDER);
    bounds(0.0, 100.0);
    step(1.0);
    textsize(kTextSize);
    when(FL_WHEN_CHANGED);
    callback(moved, this);
    showValue();
  }
  Fl_Widget &widget() override { return *this; }
  void showValue() override { value(control_.value().flt.value); }
  void enter(const std::vector<double> &values, int) override {
    value(values.at(0));
    moved(this, this);
  }

private:
  static void moved(Fl_Widget *, void *data) {
    PercentWidget *self = static_cast<PercentWidget *>(data);
    self->control_.setFloat(self->value());
    self->window_.deliver(self->control_);
  }
};

// Colour swatch: the colour, and a slider for each of red, green and blue.
// Every change fires, with the pointer's x over the swatch from the event.
class SwatchWidget : public Fl_Group, public ControlWidget {
public:
  SwatchWidget(PanelWindow &window, PanelControl &control)
      : Fl_Group(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control) {
    const int part = control.width() / 4;
    swatch_ = new Fl_Box(FL_DOWN_BOX, x(), y(), part, h(), nullptr);
    static const char *const kChannels[3] = {"Red", "Green", "Blue"};
    static const Fl_Color kShades[3] = {FL_RED, FL_GREEN, FL_BLUE};
    for (int c = 0; c < 3; ++c) {
      const int left = x() + part * (c + 1);
      const int width = c == 2 ? x() + w() - left : part;
      Fl_Slider *slider = new Fl_Slider(left, y(), width, h());
      slider->type(FL_HOR_NICE_SLIDER);
      slider->bounds(0.0, 255.0);
      slider->step(1.0);
      slider->selection_color(kShades[c]);
      slider->tooltip(kChannels[c]);
      slider->when(FL_WHEN_CHANGED);
      slider->callback(moved, this);
      sliders_[c] = slider;
    }
    end();
    showValue();
  }
  Fl_Widget &widget() override { return *this; }
  void showValue() override {
    const HostValue &v = control_.value();
    for (int c = 0; c < 3; ++c) sliders_[c]->value(v.ivec.value[c]);
    showColour();
  }
  void enter(const std::vector<double> &values, int pointerX) override {
    for (int c = 0; c < 3; ++c) sliders_[c]->value(values.at(static_cast<std::size_t>(c)));
    Fl::e_x = control_.x() + pointerX;
    moved(this, this);
  }

private:
  void showColour() {
    const HostValue &v = control_.value();
    auto byte = [](int channel) { return static_cast<uchar>(std::clamp(channel, 0, 255)); };
    swatch_->color(
        fl_rgb_color(byte(v.ivec.value[0]), byte(v.ivec.value[1]), byte(v.ivec.value[2])));
    swatch_->redraw();
  }
  static void moved(Fl_Widget *, void *data) {
    SwatchWidget *self = static_cast<SwatchWidget *>(data);
    int rgb[3];
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<int>(self->sliders_[c]->value());
    self->control_.setRgb(rgb[0], rgb[1], rgb[2]);
    self->control_.setPointerX(Fl::event_x() - self->control_.x());
    self->showColour();
    self->window_.deliver(self->control_);
  }
  Fl_Box *swatch_ = nullptr;
  std::array<Fl_Slider *, 3> sliders_{};
};

// The RGB pixels of the panel's canvas in a rectangle, undrawn ones in the
// panel's background, ready for fl_draw_image.
std::vector<uchar> canvasPixels(const PanelCanvas &canvas, int x0, int y0, int width, int height) {
  std::vector<uchar> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3,
                         kPictureBackground);
  std::size_t i = 0;
  for (int y = y0; y < y0 + height; ++y) {
    for (int x = x0; x < x0 + width; ++x, i += 3) {
      if (!canvas.drawn(x, y)) continue;
      const std::array<std::uint8_t, 3> pixel = canvas.at(x, y);
      rgb[i] = pixel[0];
      rgb[i + 1] = pixel[1];
      rgb[i + 2] = pixel[2];
    }
  }
  return rgb;
}

// Area: its drawing region shows the canvas the module paints through its
// pixel, box and border operations; a click (or Space, Enter) fires.
class AreaWidget : public Fl_Widget, public ControlWidget {
public:
  AreaWidget(PanelWindow &window, PanelControl &control)
      : Fl_Widget(control.x(), control.y(), control.width(), control.height()),
        ControlWidget(window, control) {
    box(FL_DOWN_FRAME);
  }
  Fl_Widget &widget() override { return *this; }
  void showValue() override {}
  void enter(const std::vector<double> &, int) override { window_.deliver(control_); }

  void draw() override {
    draw_box();
    const int width = control_.desc().area.width, height = control_.desc().area.height;
    if (width <= 0 || height <= 0) return;
    const std::vector<uchar> rgb = canvasPixels(control_.panel().canvas(), control_.originX(),
                                                control_.originY(), width, height);
    fl_draw_image(rgb.data(), control_.originX(), control_.originY(), width, height, 3);
    if (Fl::focus() == this) draw_focus();
  }

  int handle(int event) override {
    switch (event) {
    case FL_PUSH:
      return 1;
    case FL_RELEASE:
      if (Fl::event_inside(this)) window_.deliver(control_);
      return 1;
    case FL_FOCUS:
    case FL_UNFOCUS:
      redraw();
      return Fl::visible_focus();
    case FL_KEYBOARD:
      if (Fl::focus() == this && (Fl::event_key() == ' ' || Fl::event_key() == FL_Enter)) {
        window_.deliver(control_);
        return 1;
      }
      return 0;
    default:
      return Fl_Widget::handle(event);
    }
  }
};

// The panel's own surface behind the widgets: the background and every
// pixel the module drew outside its areas (the dividers).
class CanvasBackdrop : public Fl_Widget {
public:
  explicit CanvasBackdrop(Panel &panel)
      : Fl_Widget(0, 0, panel.width(), panel.height()), panel_(panel) {}
  void draw() override {
    const PanelCanvas &canvas = panel_.canvas();
    const int width = std::min(w(), canvas.width()), height = std::min(h(), canvas.height());
    fl_color(background());
    fl_rectf(x(), y(), w(), h());
    if (width <= 0 || height <= 0) return;
    const std::vector<uchar> rgb = canvasPixels(canvas, 0, 0, width, height);
    fl_draw_image(rgb.data(), 0, 0, width, height, 3);
  }
  int handle(int) override { return 0; }

private:
  Panel &panel_;
};

// A caption beside a control whose widget shows no label of its own.
Fl_Box *captionRight(const Fl_Widget &widget, const std::string &text) {
  Fl_Box *caption = new Fl_Box(widget.x() + widget.w() + kCaptionGap, widget.y(), 0, widget.h());
  caption->copy_label(labelText(text).c_str());
  caption->labelsize(kCaptionSize);
  caption->align(FL_ALIGN_RIGHT | FL_ALIGN_INSIDE);
  fl_font(caption->labelfont(), kCaptionSize);
  caption->size(static_cast<int>(fl_width(caption->label())) + 2, widget.h());
  return caption;
}

// Whether a caption beside the control stays clear of every other control.
bool roomForCaption(const Panel &panel, const PanelControl &control, int width) {
  const int x0 = control.x() + control.width(), x1 = x0 + kCaptionGap + width;
  const int y0 = control.y(), y1 = control.y() + control.height();
  if (x1 > panel.width()) return false;
  for (std::size_t i = 0; i < panel.controlCount(); ++i) {
    const PanelControl &other = panel.control(i);
    if (&other == &control) continue;
    const bool apart = other.x() >= x1 || other.x() + other.width() <= x0 || other.y() >= y1 ||
                       other.y() + other.height() <= y0;
    if (!apart) return false;
  }
  return true;
}

} // namespace

PanelWindow::PanelWindow(Panel &panel) : panel_(panel) {
  window_ = std::make_unique<Fl_Double_Window>(panel.x(), panel.y(), panel.width(), panel.height(),
                                               panel.title().c_str());
  window_->color(background());
  window_->begin();
  new CanvasBackdrop(panel);
  for (std::size_t i = 0; i < panel.controlCount(); ++i) {
    PanelControl &control = panel.control(i);
    ControlWidget *made = nullptr;
    switch (control.kind()) {
    case ControlKind::ListBox:
      made = new ListWidget(*this, control);
      break;
    case ControlKind::Bool:
      made = new CheckWidget(*this, control);
      break;
    case ControlKind::Button:
      made = new ButtonWidget(*this, control);
      break;
    case ControlKind::Popup:
      made = new ChoiceWidget(*this, control);
      break;
    case ControlKind::Percent:
      made = new PercentWidget(*this, control);
      break;
    case ControlKind::MiniRgb:
      made = new SwatchWidget(*this, control);
      break;
    case ControlKind::Area:
      made = new AreaWidget(*this, control);
      break;
    }
    Fl_Widget &widget = made->widget();
    widget.copy_tooltip(control.label().empty() ? nullptr : control.label().c_str());
    widget.labelsize(kTextSize);
    // Buttons show their label; check boxes and popups get a caption to their
    // right where it stays clear of the other controls.
    const bool captioned = control.kind() == ControlKind::Bool ||
                           control.kind() == ControlKind::Popup ||
                           control.kind() == ControlKind::Percent;
    if (captioned && !control.label().empty()) {
      fl_font(FL_HELVETICA, kCaptionSize);
      const int width = static_cast<int>(fl_width(labelText(control.label()).c_str())) + 2;
      if (roomForCaption(panel, control, width)) {
        made->setCaption(captionRight(widget, control.label()));
      }
    }
    made->showState(control.state());
    widgets_.push_back(made);
  }
  window_->end();
  window_->size_range(panel.width(), panel.height(), panel.width(), panel.height());
  panel_.setFront(this);
}

PanelWindow::~PanelWindow() {
  if (panel_.front() == this) panel_.setFront(nullptr);
  window_->hide();
}

Fl_Widget &PanelWindow::widget(int index) {
  return widgets_.at(static_cast<std::size_t>(index))->widget();
}

WidgetState PanelWindow::widgetState(int index) {
  Fl_Widget &w = widget(index);
  return {w.visible() != 0, w.active() != 0};
}

std::vector<std::string> PanelWindow::widgetRows(int index) {
  std::vector<std::string> rows;
  Fl_Hold_Browser *list = dynamic_cast<Fl_Hold_Browser *>(&widget(index));
  if (list == nullptr) return rows;
  for (int line = 1; line <= list->size(); ++line) rows.emplace_back(list->text(line));
  return rows;
}

int PanelWindow::widgetSelectedRow(int index) {
  Fl_Hold_Browser *list = dynamic_cast<Fl_Hold_Browser *>(&widget(index));
  return list != nullptr ? list->value() - 1 : -1;
}

void PanelWindow::pickRow(int index, intptr_t row) {
  ListWidget *list = dynamic_cast<ListWidget *>(widgets_.at(static_cast<std::size_t>(index)));
  if (list != nullptr) list->pick(row);
}

void PanelWindow::press(int x, int y) { sendMouseEvent(*window_, FL_PUSH, x, y); }

void PanelWindow::release(int x, int y) { sendMouseEvent(*window_, FL_RELEASE, x, y); }

void PanelWindow::move(int x, int y) { sendMouseEvent(*window_, FL_MOVE, x, y); }

bool PanelWindow::rowPoint(int index, int row, int &x, int &y) {
  ListWidget *list = dynamic_cast<ListWidget *>(widgets_.at(static_cast<std::size_t>(index)));
  return list != nullptr && list->pointOnRow(row, x, y);
}

void PanelWindow::enter(int index, const std::vector<double> &values, int pointerX) {
  widgets_.at(static_cast<std::size_t>(index))->enter(values, pointerX);
}

void PanelWindow::deliver(PanelControl &control) {
  control.fire();
  if (!afterEvent_) return;
  try {
    afterEvent_(control);
  } catch (...) {
    if (!error_) error_ = std::current_exception();
    window_->hide();
  }
}

void PanelWindow::controlDrawn(PanelControl &control, int mode) noexcept {
  const std::size_t index = static_cast<std::size_t>(control.index());
  if (index >= widgets_.size()) return;
  ControlWidget *widget = widgets_[index];
  if (mode != HOST_DRAW_REFRESH) {
    widget->showState(control.state());
    return;
  }
  try {
    widget->reload();
  } catch (...) {
    // Out of memory for the rows: the list keeps showing the old ones.
  }
  widget->widget().redraw();
}

void PanelWindow::controlValueSet(PanelControl &control) noexcept {
  const std::size_t index = static_cast<std::size_t>(control.index());
  if (index < widgets_.size()) widgets_[index]->showValue();
}

void PanelWindow::canvasDrawn(Panel &) noexcept { window_->redraw(); }

void PanelWindow::closeRequested(Panel &) noexcept { window_->hide(); }

} // namespace qx
