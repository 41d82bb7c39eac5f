// An editing session in windows, and the script player that drives it.
#include "window/edit_session.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>

#include "panel/panel_services.h"
#include "scene/scene.h"
#include "stand_in/stand_in_host.h"
#include "window/panel_window.h"
#include "window/render_view.h"
#include "window/window_services.h"

namespace qx {
namespace {

// The panel's buffer list: its first control.
constexpr int kBufferList = 0;
// Space between the panel and the render view, and around them.
constexpr int kWindowGap = 12;
// The render view's bar above the frame.
constexpr int kViewBar = 26;

std::string describe(const PanelControl &control) {
  std::string text = "control " + std::to_string(control.index());
  if (!control.label().empty()) text += " \"" + control.label() + "\"";
  return text;
}

// Plays a bound script through a panel window: every step becomes the
// events a user's hand would make, handed to FLTK one per turn of its event
// loop. Clicks and row picks are mouse events at the widget; values go in
// through each widget's own input, as a picked item or a slider's position.
// Steps that name no control (the picker's and the requester's answers,
// dumps, pictures) are the headless session's own.
class ScriptPlayer {
public:
  ScriptPlayer(PanelSession &session, std::vector<BoundStep> steps, PanelWindow &window,
               std::string source, std::function<void()> played)
      : session_(session), steps_(std::move(steps)), window_(window), source_(std::move(source)),
        played_(std::move(played)) {}
  ~ScriptPlayer() { Fl::remove_timeout(turn, this); }
  ScriptPlayer(const ScriptPlayer &) = delete;
  ScriptPlayer &operator=(const ScriptPlayer &) = delete;

  void start() { Fl::add_timeout(0.0, turn, this); }
  std::exception_ptr error() const { return error_; }

private:
  static void turn(void *data) {
    ScriptPlayer *self = static_cast<ScriptPlayer *>(data);
    try {
      if (self->next()) {
        Fl::add_timeout(0.0, turn, data);
      } else {
        self->played_();
      }
    } catch (...) {
      self->error_ = std::current_exception();
      self->window_.window().hide();
    }
  }

  // One event; false once the script has played.
  bool next() {
    Panel &panel = window_.panel();
    if (!pending_.empty()) {
      const std::function<void()> event = std::move(pending_.front());
      pending_.pop_front();
      event();
      return true;
    }
    // The module may close its own panel; so may the user.
    if (panel.closeRequested() || !window_.window().shown()) return false;
    if (at_ >= steps_.size() || steps_[at_].step->action == ScriptAction::Close) return false;
    const BoundStep &bound = steps_[at_++];
    if (bound.control < 0) {
      session_.play(bound, panel);
    } else {
      queue(bound);
    }
    return true;
  }

  // The events of one step that names a control, queued for the next turns.
  void queue(const BoundStep &bound) {
    const ScriptStep &step = *bound.step;
    const int index = bound.control;
    PanelControl &control = window_.panel().control(static_cast<std::size_t>(index));
    std::vector<double> values;
    for (const ScriptNumber &n : step.numbers) values.push_back(n.value);
    const int middleX = control.x() + control.width() / 2;
    const int middleY = control.y() + control.height() / 2;

    if (step.action == ScriptAction::Pointer) {
      // A forced pointer may stand anywhere an integer reaches; a window's
      // pointer only where a screen position does.
      const long long x = step.numbers[0].integer;
      if (x < -kFarthestPointer || x > kFarthestPointer) {
        std::fprintf(stderr,
                     "qxhost: warning: %s: line %d: x position %lld is off any screen; the "
                     "window's pointer cannot stand there\n",
                     source_.c_str(), step.line, x);
        return;
      }
      pointer_[index] = static_cast<int>(x);
      pending_.push_back(
          [this, x = control.x() + pointer_[index], middleY] { window_.move(x, middleY); });
      return;
    }
    if (!reachable(step, control)) return;
    const int pointerX = pointer_.count(index) != 0 ? pointer_[index] : 0;
    const ControlKind kind = control.kind();

    if (kind == ControlKind::ListBox) {
      // select, set and click all pick a row: the one named, or for a click
      // the one selected now.
      const intptr_t row = step.action == ScriptAction::Click
                               ? control.value().intv.value
                               : static_cast<intptr_t>(step.numbers[0].integer);
      int x = 0, y = 0;
      const bool onScreen =
          row >= 0 && row <= INT_MAX && window_.rowPoint(index, static_cast<int>(row), x, y);
      if (onScreen) {
        click(x, y);
      } else { // a row no pointer can reach: the list's own pick
        pending_.push_back([this, index, row] { window_.pickRow(index, row); });
      }
      return;
    }
    const bool clickable = kind == ControlKind::Button || kind == ControlKind::Area;
    if (step.action == ScriptAction::Click && clickable) {
      click(middleX, middleY);
      return;
    }
    if (step.action == ScriptAction::Set && kind == ControlKind::Bool &&
        (values[0] != 0.0) != (control.value().intv.value != 0)) {
      click(middleX, middleY); // a click turns the box over to the value
      return;
    }
    // A value entered, or (for a click) the value shown entered again.
    if (step.action == ScriptAction::Click) values = currentValues(control);
    pending_.push_back([this, index, values, pointerX] { window_.enter(index, values, pointerX); });
  }

  void click(int x, int y) {
    pending_.push_back([this, x, y] { window_.press(x, y); });
    pending_.push_back([this, x, y] { window_.release(x, y); });
  }

  static std::vector<double> currentValues(const PanelControl &control) {
    const HostValue &v = control.value();
    switch (v.type) {
    case HOST_VALUE_FLOAT:
      return {v.flt.value};
    case HOST_VALUE_IVEC:
      return {static_cast<double>(v.ivec.value[0]), static_cast<double>(v.ivec.value[1]),
              static_cast<double>(v.ivec.value[2])};
    default:
      return {static_cast<double>(v.intv.value)};
    }
  }

  // A window passes no event to a hidden or disabled widget; the step is
  // then left out, and said so.
  // How far from its control a window's pointer may stand, in pixels.
  static constexpr long long kFarthestPointer = 32767;

  bool reachable(const ScriptStep &step, const PanelControl &control) {
    const WidgetState state = window_.widgetState(control.index());
    if (state.visible && state.active) return true;
    std::fprintf(stderr,
                 "qxhost: warning: %s: line %d: %s is %s; the window lets no event reach it\n",
                 source_.c_str(), step.line, describe(control).c_str(),
                 state.visible ? "ghosted" : "erased");
    return false;
  }

  PanelSession &session_;
  std::vector<BoundStep> steps_;
  PanelWindow &window_;
  std::string source_;
  std::function<void()> played_;
  std::size_t at_ = 0;
  std::deque<std::function<void()>> pending_;
  std::map<int, int> pointer_;
  std::exception_ptr error_;
};

// The render view's place and size: beside the panel on the side with more
// room, the frame at most at its own size, all of it on the screen.
void viewGeometry(const Fl_Window &panel, const FrameWindows &windows, int &x, int &y, int &width,
                  int &height) {
  // The picture the view shows: the display window, and the data window
  // where it reaches past it.
  const int pictureWidth = std::max(windows.displayMaxX, windows.dataMaxX) -
                           std::min(windows.displayMinX, windows.dataMinX) + 1;
  const int pictureHeight = std::max(windows.displayMaxY, windows.dataMaxY) -
                            std::min(windows.displayMinY, windows.dataMinY) + 1;
  int sx = 0, sy = 0, sw = 0, sh = 0;
  Fl::screen_xywh(sx, sy, sw, sh, 0);
  const int left = panel.x() - sx, right = sx + sw - (panel.x() + panel.w());
  const int room = std::max(left, right) - 2 * kWindowGap;
  const double scale =
      std::min({1.0, static_cast<double>(std::max(room, 160)) / pictureWidth,
                static_cast<double>(std::max(sh - 2 * kWindowGap - kViewBar, 90)) / pictureHeight});
  width = std::max(160, static_cast<int>(pictureWidth * scale));
  height = std::max(90, static_cast<int>(pictureHeight * scale)) + kViewBar;
  x = left >= right ? panel.x() - kWindowGap - width : panel.x() + panel.w() + kWindowGap;
  x = std::clamp(x, sx, std::max(sx, sx + sw - width));
  y = std::clamp(panel.y() + panel.h() / 2 - height / 2, sy, std::max(sy, sy + sh - height));
}

} // namespace

std::string viewPicturePath(const std::string &panelPicture) {
  const std::size_t slash = panelPicture.find_last_of('/');
  const std::size_t dot = panelPicture.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return panelPicture + "-view";
  return panelPicture.substr(0, dot) + "-view" + panelPicture.substr(dot);
}

int entryRowFor(const Scene &scene, float value, std::size_t rows) {
  std::vector<double> entries;
  for (const SceneSurface &surface : scene.surfaces) {
    if (!surface.specialBuffer || entries.size() >= rows) continue;
    if (std::find(entries.begin(), entries.end(), *surface.specialBuffer) == entries.end())
      entries.push_back(*surface.specialBuffer);
  }
  const auto at = std::find(entries.begin(), entries.end(), static_cast<double>(value));
  return at == entries.end() ? -1 : static_cast<int>(at - entries.begin());
}

EditSession::EditSession(Host &host, const PixelFilterInstance &instance,
                         std::shared_ptr<const PixelFilter> filter, EditOptions options)
    : host_(host), instance_(instance), filter_(std::move(filter)), options_(std::move(options)) {}

void EditSession::run(Panel &panel) {
  // A script is checked whole before any window opens.
  std::vector<BoundStep> steps;
  if (options_.session != nullptr) steps = options_.session->bind(panel);

  PanelWindow window(panel);
  std::unique_ptr<RenderView> view;
  if (options_.frame != nullptr) {
    if (options_.windows.displayMaxX < options_.windows.displayMinX) { // none given
      options_.windows = FrameWindows::whole(options_.frame->width(), options_.frame->height());
    }
    int x = 0, y = 0, width = 0, height = 0;
    viewGeometry(window.window(), options_.windows, x, y, width, height);
    view = std::make_unique<RenderView>(*options_.frame, options_.windows,
                                        std::move(options_.filterInput), filter_, options_.threads,
                                        options_.finish, "Render view: " + options_.frameName, x, y,
                                        width, height);
    if (!options_.ranks.empty()) view->render().setRanks(options_.ranks);
  }
  EditWindows windows{window, view.get()};

  // The view renders again whenever an event changed what the instance saves.
  if (view != nullptr) {
    window.setAfterEvent([&](PanelControl &) { view->update(instance_.save()); });
    view->setPickHandler([&](int x, int y) {
      char where[64];
      std::snprintf(where, sizeof where, "pixel %d, %d: ", x, y);
      std::string text = where;
      float value = 0.0f;
      if (options_.layer) {
        // The id that covers the pixel most, whatever its rank.
        const std::size_t i =
            static_cast<std::size_t>(y) * static_cast<std::size_t>(options_.frame->width()) +
            static_cast<std::size_t>(x);
        float most = 0.0f;
        for (std::size_t k = 0; k + 1 < options_.ranks.size(); k += 2) {
          if (options_.ranks[k + 1][i] > most) {
            most = options_.ranks[k + 1][i];
            value = options_.ranks[k][i];
          }
        }
        if (most > 0.0f) {
          const std::uint32_t hash = cryptomatteBits(value);
          const std::string *name = options_.layer->nameOf(hash);
          char coverage[32];
          std::snprintf(coverage, sizeof coverage, " (%.0f%%)", 100.0 * static_cast<double>(most));
          text += (name != nullptr ? "\"" + *name + "\"" : "id " + hashText(hash)) + coverage;
        } else {
          text += "no object";
        }
      } else {
        value = options_.frame->value(0, x, y);
        char special[64];
        std::snprintf(special, sizeof special, "SpecialBuffer %g", static_cast<double>(value));
        text += special;
      }
      // The buffer list's rows are the module's entries, as many as it made.
      const int row = entryRowFor(host_.scene(), value, panel.control(kBufferList).rows().size());
      text += row < 0 ? ", no entry" : ", entry " + std::to_string(row + 1);
      view->setStatus(text);
      if (row >= 0) window.pickRow(kBufferList, row);
    });
    view->update(instance_.save());
  }

  std::exception_ptr failure;
  std::unique_ptr<ScriptPlayer> player;
  if (options_.scripted && options_.session != nullptr) {
    player = std::make_unique<ScriptPlayer>(
        *options_.session, std::move(steps), window, options_.scriptName, [&] {
          if (view != nullptr) view->waitForRender();
          Fl::flush();
          if (options_.played) options_.played(windows);
          if (!options_.screenshot.empty()) {
            writeWindowPicture(options_.screenshot, window.window());
            if (view != nullptr)
              writeWindowPicture(viewPicturePath(options_.screenshot), view->window());
          }
          options_.session->finish(panel);
          window.window().hide();
        });
  }

  window.window().show();
  if (view != nullptr) view->window().show();
  if (options_.opened) options_.opened(windows);
  if (player != nullptr) player->start();
  while (window.window().shown()) Fl::wait();

  if (view != nullptr) view->window().hide();
  if (player != nullptr && player->error()) failure = player->error();
  if (!failure && window.error()) failure = window.error();
  player.reset();
  view.reset();
  if (failure) std::rethrow_exception(failure);
  // A person closed the window: the outputs as it was left.
  if (!options_.scripted && options_.session != nullptr) options_.session->finish(panel);
}

} // namespace qx
