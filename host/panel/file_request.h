// The file requester, "File Request", and the directories, "Directory Info":
// a standing answer instead of a user, and a content directory.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "loader/services.h"
#include "qx/host.h"

namespace qx {

// The requester gives the same answer to every request until told otherwise:
// cancel (the answer it starts with), a path, or whatever the user picks in a
// dialog (the window host's).
//
// A relative path is taken from the directory the request starts in (the
// module's `path` argument), as a user browsing from there would pick it;
// with no starting directory it stays as given. On acceptance the full name
// goes into the module's result buffer, the file's directory into `path` and
// its name into `baseName`. A full name that does not fit the module's
// buffers is refused: the request then reports a cancel.
class FileRequestService {
public:
  // A file dialog titled `title`, given the module's pattern (`baseName`, e.g.
  // ">*.QXD" to save, "<*.QXD" to load) and the directory to start in: true
  // with the file in `chosen`, false for a cancel.
  using Dialog = std::function<bool(const std::string &title, const std::string &baseName,
                                    const std::string &path, std::string &chosen)>;

  struct Request {
    std::string title;
    std::string baseName; // as the module gave them
    std::string path;
    bool chosen;
    std::string fullName; // the name given back, when chosen
  };

  // Provides "File Request" and "Directory Info" in `registry` and attaches
  // itself there. The content directory starts as the current directory.
  explicit FileRequestService(ServiceRegistry &registry);
  ~FileRequestService();
  FileRequestService(const FileRequestService &) = delete;
  FileRequestService &operator=(const FileRequestService &) = delete;

  HostFileRequestFunc *requestFunction() const { return &FileRequestService::request; }
  HostDirectoryFunc *directoryFunction() const { return &FileRequestService::directory; }

  // Standing answers; each ends asking through a dialog.
  void answerWith(const std::string &path);
  void cancel();
  // From now on every request is put to the user through `dialog`.
  void askWith(Dialog dialog) { dialog_ = std::move(dialog); }

  // A save request (a pattern starting with '>') for the file at `path`,
  // one of the run's inputs described by `role` ("the scene"), is refused:
  // it is answered as a cancel, with a line on stderr naming the file.
  void protectInput(const std::string &role, const std::string &path);

  // What "Directory Info" gives for "Content".
  void setContentDirectory(const std::string &directory) { content_ = directory; }
  const std::string &contentDirectory() const { return content_; }

  const std::vector<Request> &requests() const { return requests_; }

private:
  static int request(const char *title, char *baseName, char *path, char *fullName,
                     int bufferLength) noexcept;
  // Whether a save to `path` would write over an input; says so on stderr.
  bool isInput(const std::string &path) const;
  static const char *directory(const char *kind) noexcept;

  ServiceRegistry &registry_;
  bool choose_ = false;
  std::string answer_;
  Dialog dialog_;
  std::string content_;
  std::vector<std::pair<std::string, std::string>> inputs_; // role, path
  std::vector<Request> requests_;
};

} // namespace qx
