// The display, the dialogs and the window pictures.
#include "window/window_services.h"

#include <FL/Fl.H>
#include <FL/Fl_Color_Chooser.H>
#include <FL/Fl_Image_Surface.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#include <FL/x.H>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "base/error.h"
#include "frames/image_io.h"

#if defined(__SANITIZE_ADDRESS__)
#define QX_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX_LEAK_CHECKED 1
#endif
#endif

#ifdef QX_LEAK_CHECKED
// For LeakSanitizer (make test-asan): fontconfig, which the fonts come
// through, keeps its caches to the end of the process on purpose; built
// without frame pointers, its reports name no caller of ours.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

namespace qx {

void openDisplay() {
  if (fl_display != nullptr) return;
  Display *display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    const char *name = std::getenv("DISPLAY");
    const std::string which = name != nullptr && *name != '\0'
                                  ? "the display \"" + std::string(name) + "\""
                                  : std::string("a display (DISPLAY is not set)");
    throw Error("cannot open " + which +
                "; on a machine without one, run it under xvfb-run: xvfb-run -s "
                "'-screen 0 1920x1080x24' qxhost edit ...");
  }
  fl_open_display(display);
  // Exact colours: the canvas and the frame are drawn byte for byte.
  Fl::visual(FL_RGB);
}

HostDisplayMetrics screenMetrics() {
  int x = 0, y = 0, width = 0, height = 0;
  Fl::screen_xywh(x, y, width, height, 0);
  const int depth = fl_visual != nullptr ? std::min(fl_visual->depth, 24) : 24;
  return {width, height, 1, 1, 1 << depth};
}

bool askColour(const std::string &title, std::array<float, 3> &colour) {
  double red = colour[0], green = colour[1], blue = colour[2];
  if (fl_color_chooser(title.c_str(), red, green, blue) == 0) return false;
  colour = {static_cast<float>(red), static_cast<float>(green), static_cast<float>(blue)};
  return true;
}

bool askFile(const std::string &title, const std::string &pattern, const std::string &path,
             std::string &chosen) {
  const bool save = !pattern.empty() && pattern[0] == '>';
  const std::string names =
      !pattern.empty() && (pattern[0] == '>' || pattern[0] == '<') ? pattern.substr(1) : pattern;
  Fl_Native_File_Chooser chooser(save ? Fl_Native_File_Chooser::BROWSE_SAVE_FILE
                                      : Fl_Native_File_Chooser::BROWSE_FILE);
  chooser.title(title.c_str());
  if (names.find_first_of("*?") != std::string::npos) {
    chooser.filter(names.c_str());
  } else if (!names.empty()) {
    chooser.preset_file(names.c_str());
  }
  if (!path.empty()) chooser.directory(path.c_str());
  if (save) chooser.options(Fl_Native_File_Chooser::SAVEAS_CONFIRM);
  if (chooser.show() != 0 || chooser.filename() == nullptr) return false;
  chosen = chooser.filename();
  // A folder is no layer set: taken as a cancel.
  std::error_code error;
  return !chosen.empty() && !std::filesystem::is_directory(chosen, error);
}

void showMessage(MessageService::Kind kind, const std::string &text, const std::string &detail) {
  const std::string shown = detail.empty() ? text : text + "\n" + detail;
  fl_message_title("Quintessalux");
  if (kind == MessageService::Kind::Info) {
    fl_message("%s", shown.c_str());
  } else {
    fl_alert("%s", shown.c_str());
  }
}

bool askYesNo(const std::string &question, const std::string &no, const std::string &yes) {
  fl_message_title("qxhost edit");
  return fl_choice("%s", no.c_str(), yes.c_str(), nullptr, question.c_str()) == 1;
}

void sendMouseEvent(Fl_Window &window, int event, int x, int y) {
  Fl::e_x = x;
  Fl::e_y = y;
  Fl::e_x_root = window.x_root() + x;
  Fl::e_y_root = window.y_root() + y;
  Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
  Fl::e_state = event == FL_PUSH ? FL_BUTTON1 : 0;
  Fl::e_clicks = 0;
  Fl::e_is_click = event == FL_RELEASE ? 1 : 0;
  Fl::handle(event, &window);
}

std::vector<std::uint8_t> windowPicture(Fl_Window &window) {
  const int width = window.w(), height = window.h();
  std::unique_ptr<Fl_RGB_Image> image;
  {
    Fl_Image_Surface surface(width, height);
    surface.set_current();
    surface.draw(&window);
    image.reset(surface.image());
    Fl_Display_Device::display_device()->set_current();
  }
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                3);
  if (image == nullptr || image->d() < 3 || image->w() != width || image->h() != height) {
    throw Error("cannot draw the window \"" +
                std::string(window.label() != nullptr ? window.label() : "") + "\" into a picture");
  }
  const int depth = image->d();
  const int stride = image->ld() != 0 ? image->ld() : width * depth;
  const uchar *data = reinterpret_cast<const uchar *>(image->data()[0]);
  std::size_t out = 0;
  for (int y = 0; y < height; ++y) {
    const uchar *row = data + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) rgb[out++] = row[x * depth + c];
    }
  }
  return rgb;
}

void writeWindowPicture(const std::string &path, Fl_Window &window) {
  writePngBytes(path, window.w(), window.h(), 3, windowPicture(window));
}

} // namespace qx
