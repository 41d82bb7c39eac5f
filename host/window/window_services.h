// What the window host takes from the screen and asks of the user: the
// display, the dialogs behind "Color Picker", "File Request" and "Info
// Messages 2", and pictures of its windows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "qx/host.h"
#include "scene/messages.h"

class Fl_Window;

namespace qx {

// Opens the X display and asks for a true-colour visual. Throws Error saying
// how to run without a display (xvfb-run) when there is none.
void openDisplay();

// The first screen: its size in pixels, square pixels, its colours.
HostDisplayMetrics screenMetrics();

// The colour chooser titled `title`, starting from `colour` (0..1): true with
// the chosen colour, false when the user cancelled.
bool askColour(const std::string &title, std::array<float, 3> &colour);

// The native file chooser titled `title` for the module's pattern: a leading
// '>' asks for a file to save, a leading '<' (or none) for one to load, and
// the rest filters the names ("*.QXD"). Starts in `path`. True with the file
// in `chosen`, false when the user cancelled.
bool askFile(const std::string &title, const std::string &pattern, const std::string &path,
             std::string &chosen);

// A message box with the text and, below it, the detail.
void showMessage(MessageService::Kind kind, const std::string &text, const std::string &detail);

// A question with two answers: true for `yes`. Escape answers `no`.
bool askYesNo(const std::string &question, const std::string &no, const std::string &yes);

// A mouse event made here and handed to FLTK's event handling as the window
// system's own are: FL_PUSH (the left button pressed), FL_RELEASE or FL_MOVE
// at (x, y) of the window.
void sendMouseEvent(Fl_Window &window, int event, int x, int y);

// The window as it draws itself, drawn into an image rather than read off
// the screen, so that nothing over it or beside it gets in: RGB, rows from
// the top, the window's width by height.
std::vector<std::uint8_t> windowPicture(Fl_Window &window);
// The same written as a PNG through the safe writer. Throws Error naming the
// file.
void writeWindowPicture(const std::string &path, Fl_Window &window);

} // namespace qx
