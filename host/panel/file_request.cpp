// The file requester and the directories.
#include "panel/file_request.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "base/safe_write.h"

namespace qx {
namespace {

// Copies `text` into a buffer of `length` bytes; false, leaving the buffer
// alone, when it does not fit with its terminating zero.
bool copyInto(char *buffer, int length, const std::string &text) {
  if (buffer == nullptr || length <= 0 || text.size() + 1 > static_cast<std::size_t>(length))
    return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

} // namespace

FileRequestService::FileRequestService(ServiceRegistry &registry) : registry_(registry) {
  std::error_code ec;
  content_ = std::filesystem::current_path(ec).string();
  registry_.attach(this);
  registry_.provide(HOST_FILE_REQUEST, reinterpret_cast<void *>(requestFunction()));
  registry_.provide(HOST_DIRECTORY_INFO, reinterpret_cast<void *>(directoryFunction()));
}

FileRequestService::~FileRequestService() {
  if (registry_.find(HOST_FILE_REQUEST) == reinterpret_cast<void *>(requestFunction()))
    registry_.withdraw(HOST_FILE_REQUEST);
  if (registry_.find(HOST_DIRECTORY_INFO) == reinterpret_cast<void *>(directoryFunction()))
    registry_.withdraw(HOST_DIRECTORY_INFO);
  registry_.detach(this);
}

void FileRequestService::answerWith(const std::string &path) {
  choose_ = true;
  answer_ = path;
  dialog_ = nullptr;
}

void FileRequestService::protectInput(const std::string &role, const std::string &path) {
  if (!path.empty() && path != "-") inputs_.emplace_back(role, path);
}

bool FileRequestService::isInput(const std::string &path) const {
  for (const auto &[role, input] : inputs_) {
    if (!sameFile(path, input)) continue;
    std::fprintf(stderr, "qxhost: %s: refused for a save: it is %s (%s), an input of this run\n",
                 path.c_str(), role.c_str(), input.c_str());
    return true;
  }
  return false;
}

void FileRequestService::cancel() {
  choose_ = false;
  dialog_ = nullptr;
}

int FileRequestService::request(const char *title, char *baseName, char *path, char *fullName,
                                int bufferLength) noexcept {
  FileRequestService *self = ServiceRegistry::currentOwner<FileRequestService>();
  if (self == nullptr) return 0;
  try {
    Request seen{title != nullptr ? title : "", baseName != nullptr ? baseName : "",
                 path != nullptr ? path : "", false, ""};
    bool choose = self->choose_;
    std::string answer = self->answer_;
    if (self->dialog_) choose = self->dialog_(seen.title, seen.baseName, seen.path, answer);
    if (choose) {
      namespace fs = std::filesystem;
      fs::path chosen(answer);
      if (chosen.is_relative() && !seen.path.empty()) chosen = fs::path(seen.path) / chosen;
      chosen = chosen.lexically_normal();
      const std::string full = chosen.string();
      if (seen.baseName.rfind('>', 0) == 0 && self->isInput(full)) {
        // As a cancel: the module then writes nothing.
      } else if (copyInto(fullName, bufferLength, full)) {
        seen.chosen = true;
        seen.fullName = full;
        // The requester remembers where the user left it.
        copyInto(path, bufferLength, chosen.parent_path().string());
        copyInto(baseName, bufferLength, chosen.filename().string());
      }
    }
    self->requests_.push_back(seen);
    return seen.chosen ? 1 : 0;
  } catch (...) {
    return 0; // nothing could be recorded or chosen: as if cancelled
  }
}

const char *FileRequestService::directory(const char *kind) noexcept {
  FileRequestService *self = ServiceRegistry::currentOwner<FileRequestService>();
  if (self == nullptr || kind == nullptr) return nullptr;
  if (std::strcmp(kind, "Content") == 0) return self->content_.c_str();
  return nullptr;
}

} // namespace qx
