// The panel in a real window: each control of the headless control model
// (panel_services.h) shown as an FLTK widget, placed where the model places
// it, kept in step with every change the module makes, and handing the
// user's changes back to the control and its handler.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "panel/panel_services.h"

class Fl_Double_Window;
class Fl_Widget;

namespace qx {

class ControlWidget;

// How a control's widget stands, read from the widget itself.
struct WidgetState {
  bool visible = false;
  bool active = false;
};

class PanelWindow : public PanelFront {
public:
  // Called after every event a widget delivered to its control's handler.
  using EventHook = std::function<void(PanelControl &control)>;

  // Makes the window and one widget per control from the panel as it stands
  // (positions, values, drawing states, list rows), and attaches itself as
  // the panel's front. The window is the panel's size, at its position.
  explicit PanelWindow(Panel &panel);
  ~PanelWindow() override;
  PanelWindow(const PanelWindow &) = delete;
  PanelWindow &operator=(const PanelWindow &) = delete;

  Panel &panel() { return panel_; }
  Fl_Double_Window &window() { return *window_; }
  void setAfterEvent(EventHook hook) { afterEvent_ = std::move(hook); }

  // The widget of control `index`, and its state as the widget has it.
  Fl_Widget &widget(int index);
  WidgetState widgetState(int index);
  // A list's rows as its widget shows them, in UTF-8.
  std::vector<std::string> widgetRows(int index);
  // The row a list's widget shows selected, -1 for none.
  int widgetSelectedRow(int index);

  // A user's pick of row `row` in list box `index`: the row selected in the
  // widget, then its event, exactly as a click on the row delivers it.
  void pickRow(int index, intptr_t row);

  // Events made here and handed to FLTK's event handling as the window
  // system's own are, at a point of the window: a mouse button pressed and
  // released (the left one), the pointer moved.
  void press(int x, int y);
  void release(int x, int y);
  void move(int x, int y);
  // The middle of row `row` of list box `index`, scrolled into view first;
  // false when the list has no such row.
  bool rowPoint(int index, int row, int &x, int &y);
  // A value entered through the widget's own input, as it delivers a value
  // the user picked: a popup's item, a slider's position, the swatch's three
  // channels (the pointer at `pointerX` over the swatch), a check box's or a
  // list's value. One event; the handler fires even for the value shown.
  void enter(int index, const std::vector<double> &values, int pointerX);

  // Delivers one event of `control`: the handler, then the after-event hook.
  // Every widget's callback ends here.
  void deliver(PanelControl &control);

  // What the after-event hook threw, kept for the session to throw again
  // once the window is closed (nothing may pass through the module).
  std::exception_ptr error() const { return error_; }

  // PanelFront.
  void controlDrawn(PanelControl &control, int mode) noexcept override;
  void controlValueSet(PanelControl &control) noexcept override;
  void canvasDrawn(Panel &panel) noexcept override;
  void closeRequested(Panel &panel) noexcept override;

private:
  Panel &panel_;
  std::unique_ptr<Fl_Double_Window> window_;
  std::vector<ControlWidget *> widgets_; // one per control, owned by the window
  EventHook afterEvent_;
  std::exception_ptr error_;
};

// The font the lists are drawn in: one that has the layer symbols ○ ● ◎.
inline constexpr char kListFontName[] = "DejaVu Sans";

} // namespace qx
