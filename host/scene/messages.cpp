// The message service.
#include "scene/messages.h"

#include <cstdio>

namespace qx {

MessageService::MessageService(ServiceRegistry &registry, bool echo)
    : registry_(registry), record_{&MessageService::info, &MessageService::error,
                                   &MessageService::warning},
      echo_(echo) {
  registry_.attach(this);
  registry_.provide(HOST_MESSAGE_FUNCS, &record_);
}

MessageService::~MessageService() {
  if (registry_.find(HOST_MESSAGE_FUNCS) == &record_) registry_.withdraw(HOST_MESSAGE_FUNCS);
  registry_.detach(this);
}

std::vector<MessageService::Message> MessageService::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

void MessageService::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

void MessageService::setEcho(bool echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = echo;
}

void MessageService::showWith(Shower shower) {
  std::lock_guard<std::mutex> lock(mutex_);
  shower_ = std::move(shower);
}

void MessageService::add(Kind kind, const char *text, const char *detail) {
  Message message{kind, text != nullptr ? text : "", detail != nullptr ? detail : ""};
  Shower shower;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (echo_) {
      std::fprintf(stderr, "qxhost: message: %s\n", message.text.c_str());
      if (!message.detail.empty())
        std::fprintf(stderr, "qxhost: message: %s\n", message.detail.c_str());
    }
    messages_.push_back(message);
    shower = shower_;
  }
  // Shown outside the lock: a dialog waits for the user. A dialog that
  // cannot be shown leaves the message recorded and echoed.
  if (!shower) return;
  try {
    shower(kind, message.text, message.detail);
  } catch (...) {
  }
}

void MessageService::info(const char *text, const char *detail) {
  if (MessageService *self = ServiceRegistry::currentOwner<MessageService>()) {
    self->add(Kind::Info, text, detail);
  }
}

void MessageService::error(const char *text, const char *detail) {
  if (MessageService *self = ServiceRegistry::currentOwner<MessageService>()) {
    self->add(Kind::Error, text, detail);
  }
}

void MessageService::warning(const char *text, const char *detail) {
  if (MessageService *self = ServiceRegistry::currentOwner<MessageService>()) {
    self->add(Kind::Warning, text, detail);
  }
}

} // namespace qx
