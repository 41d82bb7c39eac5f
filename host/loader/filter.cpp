// The pixel filter as the host drives it.
#include "loader/filter.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "loader/module_call.h"

namespace qx {

// ---------------------------------------------------------------------------
// Load and save records

LineSource::LineSource(std::vector<std::string> lines) : lines_(std::move(lines)) {
  state_.readData = this;
  state_.read = &LineSource::read;
}

int LineSource::read(void *readData, char *buffer, int capacity) {
  LineSource *self = static_cast<LineSource *>(readData);
  self->capacities_.push_back(capacity);
  // A buffer without room for the terminating zero can take nothing; the
  // line stays for the next read.
  if (buffer == nullptr || capacity <= 0) return self->remaining() > 0 ? 0 : -1;
  if (self->remaining() == 0) {
    buffer[0] = '\0';
    return -1;
  }
  const std::string &line = self->lines_[self->next_++];
  const std::size_t given = std::min(line.size(), static_cast<std::size_t>(capacity - 1));
  std::memcpy(buffer, line.data(), given);
  buffer[given] = '\0';
  return static_cast<int>(given);
}

LineSink::LineSink() {
  state_.writeData = this;
  state_.write = &LineSink::write;
}

void LineSink::write(void *writeData, const char *text, int length) {
  LineSink *self = static_cast<LineSink *>(writeData);
  if (text == nullptr || length <= 0) {
    self->lines_.emplace_back();
    return;
  }
  // Stop at the terminating zero or at `length`, whichever comes first; the
  // text need not be terminated within `length`.
  const void *end = std::memchr(text, '\0', static_cast<std::size_t>(length));
  const std::size_t kept = end != nullptr
                               ? static_cast<std::size_t>(static_cast<const char *>(end) - text)
                               : static_cast<std::size_t>(length);
  self->lines_.emplace_back(text, kept);
}

// ---------------------------------------------------------------------------
// Servers

namespace {

void activateOrThrow(const ModuleLibrary &module, const char *className, const std::string &name,
                     void *record, int version) {
  const ServerEntry &server = module.server(className, name);
  const int status = ModuleLibrary::activate(server, record, version);
  if (status != HOST_AFUNC_OK) {
    throw ActivationError(module.path() + ": server \"" + name + "\" of class \"" + className +
                              "\" refused activation version " + std::to_string(version) +
                              " (status " + std::to_string(status) + ")",
                          status);
  }
}

} // namespace

PixelFilter::PixelFilter(std::shared_ptr<const ModuleLibrary> module, const std::string &name,
                         int version)
    : module_(std::move(module)), name_(name) {
  instance_.priv = this;
  handler_.inst = &instance_;
  handler_.item = &item_;
  handler_.rend = &render_;
  activateOrThrow(*module_, HOST_CLASS_PIXEL_FILTER, name, &handler_, version);
}

FilterInterface::FilterInterface(std::shared_ptr<const ModuleLibrary> module,
                                 const std::string &name, int version)
    : module_(std::move(module)) {
  record_.inst = this;
  activateOrThrow(*module_, HOST_CLASS_PIXEL_FILTER_UI, name, &record_, version);
}

std::string FilterInterface::options(const PixelFilterInstance &instance) const {
  if (record_.options == nullptr) return "the module offers no options";
  const char *error = callModule(record_.options, instance.handle());
  return error != nullptr ? error : "";
}

// ---------------------------------------------------------------------------
// Instances

namespace {

// A callback the module reported an error from.
void check(const char *operation, HostError error) {
  if (error != nullptr) throw Error(std::string("filter ") + operation + ": " + error);
}

} // namespace

PixelFilterInstance::PixelFilterInstance(std::shared_ptr<const PixelFilter> filter, void *context)
    : filter_(std::move(filter)) {
  const HostInstanceFuncs &funcs = filter_->instanceFuncs();
  if (funcs.create == nullptr) throw Error("filter create: the module gave no create callback");
  HostError error = nullptr;
  handle_ = callModule(funcs.create, funcs.priv, context, &error);
  if (handle_ == nullptr) {
    throw Error(std::string("filter create: ") +
                (error != nullptr ? error : "the module made no instance"));
  }
}

PixelFilterInstance::~PixelFilterInstance() { release(); }

PixelFilterInstance::PixelFilterInstance(PixelFilterInstance &&other) noexcept
    : filter_(std::move(other.filter_)), handle_(std::exchange(other.handle_, nullptr)) {}

PixelFilterInstance &PixelFilterInstance::operator=(PixelFilterInstance &&other) noexcept {
  if (this != &other) {
    release();
    filter_ = std::move(other.filter_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void PixelFilterInstance::release() {
  if (handle_ != nullptr && filter_->instanceFuncs().destroy != nullptr) {
    callModule(filter_->instanceFuncs().destroy, handle_);
  }
  handle_ = nullptr;
}

void PixelFilterInstance::copyFrom(const PixelFilterInstance &source) {
  const HostInstanceFuncs &funcs = filter_->instanceFuncs();
  if (funcs.copy != nullptr) check("copy", callModule(funcs.copy, source.handle_, handle_));
}

std::string PixelFilterInstance::describe() const {
  const HostInstanceFuncs &funcs = filter_->instanceFuncs();
  const char *text = funcs.descln != nullptr ? callModule(funcs.descln, handle_) : nullptr;
  return text != nullptr ? text : "";
}

unsigned int PixelFilterInstance::flags() const {
  const HostPixelFilterHandler &handler = filter_->handler();
  return handler.flags != nullptr ? callModule(handler.flags, handle_) : 0u;
}

void PixelFilterInstance::evaluate(const HostPixelAccess &access) const {
  const HostPixelFilterHandler &handler = filter_->handler();
  if (handler.evaluate != nullptr) callModule(handler.evaluate, handle_, &access);
}

void PixelFilterInstance::load(const std::vector<std::string> &lines) {
  const HostInstanceFuncs &funcs = filter_->instanceFuncs();
  if (funcs.load == nullptr) return;
  LineSource source(lines);
  check("load", callModule(funcs.load, handle_, source.state()));
}

std::vector<std::string> PixelFilterInstance::save() const {
  const HostInstanceFuncs &funcs = filter_->instanceFuncs();
  LineSink sink;
  if (funcs.save != nullptr) check("save", callModule(funcs.save, handle_, sink.state()));
  return sink.take();
}

void PixelFilterInstance::init(int mode) {
  const HostRenderFuncs &funcs = filter_->renderFuncs();
  if (funcs.init != nullptr) check("init", callModule(funcs.init, handle_, mode));
}

void PixelFilterInstance::newTime(int frame, double time) {
  const HostRenderFuncs &funcs = filter_->renderFuncs();
  if (funcs.newTime != nullptr) check("newTime", callModule(funcs.newTime, handle_, frame, time));
}

void PixelFilterInstance::cleanup() {
  const HostRenderFuncs &funcs = filter_->renderFuncs();
  if (funcs.cleanup != nullptr) callModule(funcs.cleanup, handle_);
}

} // namespace qx
