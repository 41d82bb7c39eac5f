// A host's single-function services for tests: "Color Picker", "File
// Request", "Directory Info", and the message service "Info Messages 2".
// Each records how the module called it and answers as the test set it up.
// Installed as the module's global lookup for the life of the object; every
// other service is asked of the lookup that was installed before.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "module.h"

class FakeServices {
public:
  // Which services the host offers.
  bool offerPicker = true;
  bool offerFileRequest = true;
  bool offerDirectory = true;
  bool offerMessages = true;

  // The colour picker's answer: its status, the request's result, and the
  // colour it leaves in the request when it writes one.
  struct PickerAnswer {
    int status = 0;
    int result = 1;
    bool writesColour = true;
    float red = 0.0f, green = 0.0f, blue = 0.0f;
  } picker;
  // What the picker was handed, call by call.
  struct PickerCall {
    int version;
    std::string title;
    float red, green, blue;
    void *data;
    HostColorPickHotFunc *hotFunc;
  };
  std::vector<PickerCall> pickerCalls;

  // The file requester's answer: its result, the full name it gives, and the
  // directory it leaves behind (none: it leaves the directory as it was).
  struct RequestAnswer {
    int result = 1;
    std::string fullName;
    std::optional<std::string> leavesPath;
    // A careless requester fills the whole buffer with the name, without a
    // terminating zero when the name is as long as the buffer or longer.
    bool fillsWithoutEnd = false;
  } request;
  // What the requester was handed, call by call.
  struct RequestCall {
    std::string title, baseName, path;
    int bufferLength;
  };
  std::vector<RequestCall> requestCalls;

  // The content directory, or none (the service gives null).
  std::optional<std::string> contentDirectory = std::string("/scenes/content");
  std::vector<std::string> directoryCalls;

  // Messages shown through "Info Messages 2", in order.
  std::vector<std::string> messages;

  FakeServices() : saved_(global_func), previous_(current()) {
    current() = this;
    global_func = Lookup;
  }
  ~FakeServices() {
    global_func = saved_;
    current() = previous_;
  }
  FakeServices(const FakeServices &) = delete;
  FakeServices &operator=(const FakeServices &) = delete;

private:
  static FakeServices *&current() {
    static FakeServices *services = nullptr;
    return services;
  }

  static int Pick(int version, HostColorPickRequest *req) {
    FakeServices *s = current();
    s->pickerCalls.push_back({version, req->title != nullptr ? req->title : "", req->red,
                              req->green, req->blue, req->data, req->hotFunc});
    if (s->picker.status == 0) req->result = s->picker.result;
    if (s->picker.writesColour) {
      req->red = s->picker.red;
      req->green = s->picker.green;
      req->blue = s->picker.blue;
    }
    return s->picker.status;
  }

  static int Request(const char *title, char *baseName, char *path, char *fullName, int length) {
    FakeServices *s = current();
    s->requestCalls.push_back({title, baseName, path, length});
    if (s->request.result == 0) return 0;
    if (s->request.fillsWithoutEnd)
      s->request.fullName.copy(fullName, static_cast<size_t>(length));
    else
      snprintf(fullName, static_cast<size_t>(length), "%s", s->request.fullName.c_str());
    if (s->request.leavesPath && s->request.fillsWithoutEnd)
      s->request.leavesPath->copy(path, static_cast<size_t>(length));
    else if (s->request.leavesPath)
      snprintf(path, static_cast<size_t>(length), "%s", s->request.leavesPath->c_str());
    return s->request.result;
  }

  static const char *Directory(const char *kind) {
    FakeServices *s = current();
    s->directoryCalls.push_back(kind);
    return s->contentDirectory ? s->contentDirectory->c_str() : nullptr;
  }

  static void Info(const char *text, const char *) { current()->messages.push_back(text); }
  static void Other(const char *text, const char *) {
    current()->messages.push_back(std::string("(not info) ") + text);
  }

  static void *Lookup(const char *name, int useMode) {
    static HostMessageFuncs messageFuncs{Info, Other, Other};
    FakeServices *s = current();
    const std::string n(name);
    if (n == HOST_COLOR_PICKER) return s->offerPicker ? reinterpret_cast<void *>(Pick) : nullptr;
    if (n == HOST_FILE_REQUEST)
      return s->offerFileRequest ? reinterpret_cast<void *>(Request) : nullptr;
    if (n == HOST_DIRECTORY_INFO)
      return s->offerDirectory ? reinterpret_cast<void *>(Directory) : nullptr;
    if (n == HOST_MESSAGE_FUNCS) return s->offerMessages ? &messageFuncs : nullptr;
    return s->saved_ != nullptr ? s->saved_(name, useMode) : nullptr;
  }

  HostGlobalFunc *saved_;
  FakeServices *previous_;
};
