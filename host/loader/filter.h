// The pixel filter as the host drives it: the activated servers, the filter
// instances, and the load and save records that carry an instance's lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "loader/module_library.h"
#include "qx/host.h"

namespace qx {

// The host's load-state record over a list of stored lines: each read gives
// the next line, cut to the reader's capacity.
class LineSource {
public:
  explicit LineSource(std::vector<std::string> lines);
  LineSource(const LineSource &) = delete;
  LineSource &operator=(const LineSource &) = delete;

  const HostLoadState *state() const { return &state_; }
  // The capacity of every read so far, in order.
  const std::vector<int> &capacities() const { return capacities_; }
  // Lines not read yet.
  std::size_t remaining() const { return lines_.size() - next_; }

private:
  static int read(void *readData, char *buffer, int capacity);

  std::vector<std::string> lines_;
  std::size_t next_ = 0;
  std::vector<int> capacities_;
  HostLoadState state_;
};

// The host's save-state record: collects the lines written through it, each
// kept to the length the writer allows.
class LineSink {
public:
  LineSink();
  LineSink(const LineSink &) = delete;
  LineSink &operator=(const LineSink &) = delete;

  const HostSaveState *state() const { return &state_; }
  const std::vector<std::string> &lines() const { return lines_; }
  std::vector<std::string> take() { return std::move(lines_); }

private:
  static void write(void *writeData, const char *text, int length);

  std::vector<std::string> lines_;
  HostSaveState state_;
};

// A "PixelFilterHandler" server, activated: the handler record and the three
// sub-records the module filled. The host's word in the instance record is
// this object's address, set before activation; a module leaves it alone.
// Keeps the module loaded while it lives.
class PixelFilter {
public:
  // Throws ActivationError when the server refuses `version`, Error when the
  // module has no such server.
  PixelFilter(std::shared_ptr<const ModuleLibrary> module, const std::string &name,
              int version = HOST_ACTIVATE_VERSION);
  PixelFilter(const PixelFilter &) = delete;
  PixelFilter &operator=(const PixelFilter &) = delete;

  const ModuleLibrary &module() const { return *module_; }
  const std::string &name() const { return name_; }
  const HostPixelFilterHandler &handler() const { return handler_; }
  const HostInstanceFuncs &instanceFuncs() const { return instance_; }
  const HostItemFuncs &itemFuncs() const { return item_; }
  const HostRenderFuncs &renderFuncs() const { return render_; }

private:
  std::shared_ptr<const ModuleLibrary> module_;
  std::string name_;
  HostInstanceFuncs instance_{};
  HostItemFuncs item_{};
  HostRenderFuncs render_{};
  HostPixelFilterHandler handler_{};
};

class PixelFilterInstance;

// A "PixelFilterInterface" server, activated. The record's host word is this
// object's address, set before activation.
class FilterInterface {
public:
  // Throws like PixelFilter's constructor.
  FilterInterface(std::shared_ptr<const ModuleLibrary> module, const std::string &name,
                  int version = HOST_ACTIVATE_VERSION);
  FilterInterface(const FilterInterface &) = delete;
  FilterInterface &operator=(const FilterInterface &) = delete;

  const HostPixelFilterInterface &record() const { return record_; }

  // Opens the instance's options and returns when they are closed: the
  // module's error text, or empty.
  std::string options(const PixelFilterInstance &instance) const;

private:
  std::shared_ptr<const ModuleLibrary> module_;
  HostPixelFilterInterface record_{};
};

// One filter instance: created by the module on construction, destroyed on
// destruction. The callbacks that report errors throw Error with the module's
// text.
class PixelFilterInstance {
public:
  // Throws Error when the module makes no instance.
  explicit PixelFilterInstance(std::shared_ptr<const PixelFilter> filter, void *context = nullptr);
  ~PixelFilterInstance();
  PixelFilterInstance(PixelFilterInstance &&other) noexcept;
  PixelFilterInstance &operator=(PixelFilterInstance &&other) noexcept;
  PixelFilterInstance(const PixelFilterInstance &) = delete;
  PixelFilterInstance &operator=(const PixelFilterInstance &) = delete;

  HostInstance handle() const { return handle_; }
  const PixelFilter &filter() const { return *filter_; }

  // Makes this instance the same as `source` (the module's copy, source
  // first).
  void copyFrom(const PixelFilterInstance &source);
  std::string describe() const;
  unsigned int flags() const;
  void evaluate(const HostPixelAccess &access) const;
  void load(const std::vector<std::string> &lines);
  std::vector<std::string> save() const;

  // Around a render pass.
  void init(int mode);
  void newTime(int frame, double time);
  void cleanup();

private:
  void release();

  std::shared_ptr<const PixelFilter> filter_;
  HostInstance handle_ = nullptr;
};

} // namespace qx
