// The message service, "Info Messages 2": what the module shows the user.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "loader/services.h"
#include "qx/host.h"

namespace qx {

// Keeps every message the module shows, and echoes each to stderr as
// "qxhost: message: <text>" (the detail, when given, on a line of its own).
// A window host also shows each to the user.
class MessageService {
public:
  enum class Kind { Info, Error, Warning };
  // Shows one message to the user; returns when the user has seen it.
  using Shower = std::function<void(Kind kind, const std::string &text, const std::string &detail)>;
  struct Message {
    Kind kind;
    std::string text;
    std::string detail; // empty when the module gave none
  };

  // Provides "Info Messages 2" in `registry` and attaches itself there.
  explicit MessageService(ServiceRegistry &registry, bool echo = true);
  ~MessageService();
  MessageService(const MessageService &) = delete;
  MessageService &operator=(const MessageService &) = delete;

  const HostMessageFuncs *record() const { return &record_; }
  std::vector<Message> messages() const;
  void clear();
  void setEcho(bool echo);
  // From now on every message is also shown through `shower`; null for none.
  void showWith(Shower shower);

private:
  void add(Kind kind, const char *text, const char *detail);

  static void info(const char *text, const char *detail);
  static void error(const char *text, const char *detail);
  static void warning(const char *text, const char *detail);

  ServiceRegistry &registry_;
  HostMessageFuncs record_;
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  bool echo_;
  Shower shower_;
};

} // namespace qx
