// An X server for the window tests: the one DISPLAY names, or, when DISPLAY
// is not set, an Xvfb of this test process's own (1920 by 1080, 24-bit
// colour, the display number it picks itself, so that tests running at once
// never share one). A test that finds none is skipped with the reason.
#pragma once

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace xtest {

class XServer {
public:
  // The server of this process, found or started on first use.
  static XServer &get() {
    static XServer server;
    return server;
  }

  bool ready() const { return reason_.empty(); }
  const std::string &reason() const { return reason_; }
  // The screen's size and colour depth.
  int width() const { return width_; }
  int height() const { return height_; }
  int depth() const { return depth_; }

  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

private:
  XServer() {
    const char *display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
      if (!measure())
        reason_ = "DISPLAY is \"" + std::string(display) + "\" but it cannot be opened";
      return;
    }
    start();
    if (reason_.empty() && !measure()) reason_ = "the Xvfb started here cannot be opened";
  }

  bool measure() {
    Display *display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    const int screen = DefaultScreen(display);
    width_ = DisplayWidth(display, screen);
    height_ = DisplayHeight(display, screen);
    depth_ = DefaultDepth(display, screen);
    XCloseDisplay(display);
    return true;
  }

  void start() {
    int fds[2];
    if (pipe(fds) != 0) {
      reason_ = "no pipe to hear the Xvfb's display number on";
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const int quiet = open("/dev/null", O_WRONLY);
      if (quiet >= 0) {
        dup2(quiet, 1);
        dup2(quiet, 2);
      }
      const std::string fd = std::to_string(fds[1]);
      // Without -noreset the server starts over whenever its last client
      // leaves, and refuses the next one meanwhile.
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24", "-noreset",
             "-nolisten", "tcp", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      reason_ = "cannot start a process for Xvfb";
      return;
    }
    // Xvfb writes its display number once it takes connections.
    std::string number;
    pollfd waiting{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&waiting, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
      int status = 0;
      const bool ended = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!ended) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
      }
      pid_ = -1;
      reason_ = ended && WIFEXITED(status) && WEXITSTATUS(status) == 127
                    ? "DISPLAY is not set and there is no Xvfb to start (scripts/install-deps "
                      "installs it)"
                    : "DISPLAY is not set and the Xvfb started here gave no display number";
      return;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
  }

  pid_t pid_ = -1;
  std::string reason_;
  int width_ = 0, height_ = 0, depth_ = 0;
};

} // namespace xtest

// Skips the test, saying why, where no X server can be had.
#define QX_REQUIRE_X_SERVER()                                                                      \
  do {                                                                                             \
    if (!xtest::XServer::get().ready()) GTEST_SKIP() << xtest::XServer::get().reason();            \
  } while (0)
