// The render view: the frame as the edited instance filters it, rendered
// again in the background after every change to the instance, beside the
// panel. It zooms to fit its window, shows the frame before or after the
// filter, and a click on it picks a pixel.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frames/frame.h"
#include "loader/filter.h"
#include "window/live_render.h"

class Fl_Box;
class Fl_Double_Window;
class Fl_Light_Button;
class Fl_Widget;

namespace qx {

class FrameImage;

class RenderView {
public:
  // Called, from the event loop, with the frame's pixel a click picked.
  using PickHandler = std::function<void(int x, int y)>;

  // `shown` is the frame as read, what "before" shows, placed in its
  // picture by `windows`; `filterInput` is what the filter takes (the colour
  // straight), rendered on `threads` threads (0 for one per core) and put
  // through `finish` before it is shown. The window stands at (x, y),
  // `width` by `height`.
  RenderView(const Frame &shown, const FrameWindows &windows, Frame filterInput,
             std::shared_ptr<const PixelFilter> filter, unsigned int threads,
             LiveRender::Finish finish, const std::string &title, int x, int y, int width,
             int height);
  ~RenderView();
  RenderView(const RenderView &) = delete;
  RenderView &operator=(const RenderView &) = delete;

  Fl_Double_Window &window() { return *window_; }
  LiveRender &render() { return render_; }
  const Frame &frame() const { return shown_; }

  // A new state of the instance: rendered unless it is the one shown or the
  // one under way; a render under way for another state starts again.
  void update(const std::vector<std::string> &state);
  // Waits for the render under way and shows it.
  void waitForRender();

  // The frame before the filter (true) or after it.
  void showBefore(bool before);
  bool showingBefore() const;

  void setPickHandler(PickHandler handler) { pickHandler_ = std::move(handler); }
  // The window point at the middle of the frame's pixel (x, y) as shown now,
  // for a click there; false when the pixel is not on the frame.
  bool pointOf(int x, int y, int &windowX, int &windowY) const;
  // What the status line says.
  std::string status() const;
  void setStatus(const std::string &text);

private:
  friend class FrameImage;
  static void poll(void *data);
  static void toggled(Fl_Widget *, void *data);
  void showRendered();
  void picked(int x, int y);

  const Frame &shown_;
  LiveRender render_;
  std::unique_ptr<Fl_Double_Window> window_;
  Fl_Light_Button *before_ = nullptr;
  Fl_Box *status_ = nullptr;
  FrameImage *image_ = nullptr;
  std::string statusText_;
  PickHandler pickHandler_;
  bool polling_ = false;
};

} // namespace qx
