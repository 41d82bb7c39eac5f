// The render view's window: a bar with the before/after toggle and the
// status, and the frame zoomed to fit below it.
#include "window/render_view.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Light_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "frames/image_io.h"

namespace qx {
namespace {

constexpr int kBarHeight = 26;
constexpr double kPollSeconds = 0.03;

// A frame's colour for the screen: R, G and B through the sRGB curve.
std::vector<uchar> screenBytes(const Frame &frame) {
  std::vector<uchar> rgb(frame.pixelCount() * 3);
  for (int c = 0; c < 3; ++c) {
    const float *plane = frame.plane(HOST_BUF_RED + c);
    for (std::size_t i = 0; i < frame.pixelCount(); ++i)
      rgb[i * 3 + static_cast<std::size_t>(c)] = plane != nullptr ? srgbByte(plane[i]) : 0;
  }
  return rgb;
}

} // namespace

// The picture, zoomed to fit the widget and centred in it: the display
// window, with the frame (the data window) in place and its outline drawn.
// Where the data window reaches past the display window, the picture grows
// to show it whole.
class FrameImage : public Fl_Widget {
public:
  FrameImage(RenderView &view, int x, int y, int width, int height, const Frame &frame,
             const FrameWindows &windows)
      : Fl_Widget(x, y, width, height), view_(view), width_(frame.width()), height_(frame.height()),
        before_(screenBytes(frame)) {
    const int minX = std::min(windows.displayMinX, windows.dataMinX);
    const int minY = std::min(windows.displayMinY, windows.dataMinY);
    canvasWidth_ = std::max(windows.displayMaxX, windows.dataMinX + width_ - 1) - minX + 1;
    canvasHeight_ = std::max(windows.displayMaxY, windows.dataMinY + height_ - 1) - minY + 1;
    dataX_ = windows.dataMinX - minX;
    dataY_ = windows.dataMinY - minY;
    displayX0_ = windows.displayMinX - minX;
    displayY0_ = windows.displayMinY - minY;
    displayX1_ = windows.displayMaxX - minX;
    displayY1_ = windows.displayMaxY - minY;
    outlined_ = dataX_ != displayX0_ || dataY_ != displayY0_ ||
                width_ != displayX1_ - displayX0_ + 1 || height_ != displayY1_ - displayY0_ + 1;
  }

  void setAfter(const Frame &frame) {
    after_ = screenBytes(frame);
    ++version_;
    redraw();
  }
  void showBefore(bool before) {
    beforeShown_ = before;
    ++version_;
    redraw();
  }
  bool showingBefore() const { return beforeShown_; }

  // Where the frame stands: its scale and its top left corner.
  void fit(double &scale, int &left, int &top, int &shownWidth, int &shownHeight) const {
    scale =
        std::min(static_cast<double>(w()) / canvasWidth_, static_cast<double>(h()) / canvasHeight_);
    shownWidth = std::max(1, static_cast<int>(std::lround(canvasWidth_ * scale)));
    shownHeight = std::max(1, static_cast<int>(std::lround(canvasHeight_ * scale)));
    left = x() + (w() - shownWidth) / 2;
    top = y() + (h() - shownHeight) / 2;
  }

  bool pixelAt(int windowX, int windowY, int &px, int &py) const {
    double scale = 1.0;
    int left = 0, top = 0, shownWidth = 0, shownHeight = 0;
    fit(scale, left, top, shownWidth, shownHeight);
    if (windowX < left || windowY < top || windowX >= left + shownWidth ||
        windowY >= top + shownHeight)
      return false;
    px = std::min(canvasWidth_ - 1, static_cast<int>((windowX - left) / scale)) - dataX_;
    py = std::min(canvasHeight_ - 1, static_cast<int>((windowY - top) / scale)) - dataY_;
    return px >= 0 && py >= 0 && px < width_ && py < height_;
  }

  bool pointOf(int px, int py, int &windowX, int &windowY) const {
    if (px < 0 || py < 0 || px >= width_ || py >= height_) return false;
    double scale = 1.0;
    int left = 0, top = 0, shownWidth = 0, shownHeight = 0;
    fit(scale, left, top, shownWidth, shownHeight);
    windowX = left + static_cast<int>((px + dataX_ + 0.5) * scale);
    windowY = top + static_cast<int>((py + dataY_ + 0.5) * scale);
    int backX = 0, backY = 0;
    return pixelAt(windowX, windowY, backX, backY) && backX == px && backY == py;
  }

  void draw() override {
    fl_color(fl_rgb_color(48, 48, 48));
    fl_rectf(x(), y(), w(), h());
    const std::vector<uchar> &source = beforeShown_ || after_.empty() ? before_ : after_;
    if (source.empty() || w() <= 0 || h() <= 0) return;
    double scale = 1.0;
    int left = 0, top = 0, shownWidth = 0, shownHeight = 0;
    fit(scale, left, top, shownWidth, shownHeight);
    if (scaledVersion_ != version_ || scaledWidth_ != shownWidth || scaledHeight_ != shownHeight) {
      // Nearest pixel: every screen pixel shows one pixel of the picture:
      // the frame's, or grey for the display window where the frame holds
      // nothing, darker outside it.
      scaled_.resize(static_cast<std::size_t>(shownWidth) * static_cast<std::size_t>(shownHeight) *
                     3);
      std::size_t out = 0;
      for (int sy = 0; sy < shownHeight; ++sy) {
        const int cy = std::min(canvasHeight_ - 1, static_cast<int>(sy / scale));
        const int fy = cy - dataY_;
        for (int sx = 0; sx < shownWidth; ++sx) {
          const int cx = std::min(canvasWidth_ - 1, static_cast<int>(sx / scale));
          const int fx = cx - dataX_;
          if (fx >= 0 && fy >= 0 && fx < width_ && fy < height_) {
            const std::size_t in =
                (static_cast<std::size_t>(fy) * static_cast<std::size_t>(width_) +
                 static_cast<std::size_t>(fx)) *
                3;
            scaled_[out++] = source[in];
            scaled_[out++] = source[in + 1];
            scaled_[out++] = source[in + 2];
          } else {
            const bool shown =
                cx >= displayX0_ && cx <= displayX1_ && cy >= displayY0_ && cy <= displayY1_;
            const uchar grey = shown ? 72 : 32;
            scaled_[out++] = grey;
            scaled_[out++] = grey;
            scaled_[out++] = grey;
          }
        }
      }
      scaledVersion_ = version_;
      scaledWidth_ = shownWidth;
      scaledHeight_ = shownHeight;
    }
    fl_draw_image(scaled_.data(), left, top, shownWidth, shownHeight, 3);
    if (outlined_) { // the data window's outline
      fl_color(fl_rgb_color(255, 200, 40));
      fl_rect(left + static_cast<int>(dataX_ * scale), top + static_cast<int>(dataY_ * scale),
              std::max(1, static_cast<int>(std::lround(width_ * scale))),
              std::max(1, static_cast<int>(std::lround(height_ * scale))));
    }
  }

  int handle(int event) override {
    switch (event) {
    case FL_PUSH:
      pressed_ = pixelAt(Fl::event_x(), Fl::event_y(), pressX_, pressY_);
      return 1;
    case FL_RELEASE:
      if (pressed_) view_.picked(pressX_, pressY_);
      pressed_ = false;
      return 1;
    default:
      return Fl_Widget::handle(event);
    }
  }

private:
  RenderView &view_;
  int width_, height_;
  // The picture the view shows: its size, where the frame's corner and the
  // display window stand in it, and whether the frame is outlined.
  int canvasWidth_ = 1, canvasHeight_ = 1, dataX_ = 0, dataY_ = 0;
  int displayX0_ = 0, displayY0_ = 0, displayX1_ = 0, displayY1_ = 0;
  bool outlined_ = false;
  std::vector<uchar> before_, after_;
  bool beforeShown_ = false;
  int version_ = 0;
  std::vector<uchar> scaled_;
  int scaledVersion_ = -1, scaledWidth_ = 0, scaledHeight_ = 0;
  bool pressed_ = false;
  int pressX_ = 0, pressY_ = 0;
};

RenderView::RenderView(const Frame &shown, const FrameWindows &windows, Frame filterInput,
                       std::shared_ptr<const PixelFilter> filter, unsigned int threads,
                       LiveRender::Finish finish, const std::string &title, int x, int y, int width,
                       int height)
    : shown_(shown),
      render_(std::move(filter), std::move(filterInput), threads, std::move(finish)) {
  window_ = std::make_unique<Fl_Double_Window>(x, y, width, height);
  window_->copy_label(title.c_str());
  window_->begin();
  before_ = new Fl_Light_Button(4, 3, 76, kBarHeight - 6, "Before");
  before_->labelsize(12);
  before_->tooltip("Show the frame before the filter");
  before_->callback(toggled, this);
  status_ = new Fl_Box(86, 3, width - 90, kBarHeight - 6);
  status_->labelsize(12);
  status_->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  image_ = new FrameImage(*this, 0, kBarHeight, width, height - kBarHeight, shown, windows);
  window_->end();
  window_->resizable(image_);
  window_->size_range(160, kBarHeight + 90);
}

RenderView::~RenderView() {
  Fl::remove_timeout(poll, this);
  window_->hide();
}

void RenderView::update(const std::vector<std::string> &state) {
  if (!render_.request(state)) return;
  setStatus("rendering...");
  if (!polling_) {
    polling_ = true;
    Fl::add_timeout(kPollSeconds, poll, this);
  }
}

void RenderView::waitForRender() {
  render_.wait();
  showRendered();
}

void RenderView::poll(void *data) {
  RenderView *self = static_cast<RenderView *>(data);
  if (self->render_.collect() || (!self->render_.busy() && !self->render_.failure().empty())) {
    self->showRendered();
  }
  if (self->render_.busy()) {
    Fl::repeat_timeout(kPollSeconds, poll, data);
  } else {
    self->polling_ = false;
  }
}

void RenderView::showRendered() {
  if (!render_.failure().empty()) {
    setStatus("the render stopped: " + render_.failure());
    return;
  }
  if (!render_.hasShown()) return;
  image_->setAfter(render_.shown());
  char text[64];
  std::snprintf(text, sizeof text, "rendered in %.2f s", render_.shownSeconds());
  setStatus(text);
}

void RenderView::toggled(Fl_Widget *, void *data) {
  RenderView *self = static_cast<RenderView *>(data);
  self->image_->showBefore(self->before_->value() != 0);
}

void RenderView::showBefore(bool before) {
  before_->value(before ? 1 : 0);
  image_->showBefore(before);
}

bool RenderView::showingBefore() const { return image_->showingBefore(); }

bool RenderView::pointOf(int x, int y, int &windowX, int &windowY) const {
  return image_->pointOf(x, y, windowX, windowY);
}

std::string RenderView::status() const { return statusText_; }

void RenderView::setStatus(const std::string &text) {
  statusText_ = text;
  status_->copy_label(statusText_.c_str());
  status_->redraw();
  window_->redraw();
}

void RenderView::picked(int x, int y) {
  if (pickHandler_) pickHandler_(x, y);
}

} // namespace qx
