// The stand-in host.
#include "stand_in/stand_in_host.h"

#include <cstdio>
#include <utility>

#include "base/error.h"

namespace qx {

Host::Host() : Host(Scene{}, Options{}) {}

Host::Host(Scene scene) : Host(std::move(scene), Options{}) {}

Host::Host(Scene scene, Options options)
    : options_(std::move(options)), scene_(std::move(scene)), registry_(),
      surfaces_(registry_, scene_.surfaces), messages_(registry_, options_.echoMessages),
      panels_(registry_), picker_(registry_), files_(registry_) {
  // Services register themselves as they are made; the options then take
  // out the ones this host is to run without.
  for (const std::string &name : options_.withdraw) registry_.withdraw(name);
}

Host::~Host() = default;

const ModuleLibrary &Host::loadModule(const std::string &path) {
  module_.reset();
  module_ = std::make_shared<const ModuleLibrary>(path);
  return *module_;
}

const ModuleLibrary &Host::module() const { return *requireModule(); }

std::shared_ptr<const ModuleLibrary> Host::requireModule() const {
  if (module_ == nullptr) throw Error("no module is loaded");
  return module_;
}

void Host::setScene(Scene scene) {
  scene_ = std::move(scene);
  surfaces_.assign(scene_.surfaces);
}

void Host::provide(const std::string &name, void *service) {
  if (options_.withdraw.count(name) == 0) registry_.provide(name, service);
}

std::shared_ptr<const PixelFilter> Host::makeFilter(const std::string &name) const {
  return std::make_shared<const PixelFilter>(requireModule(), name);
}

std::unique_ptr<FilterInterface> Host::makeInterface(const std::string &name) const {
  return std::make_unique<FilterInterface>(requireModule(), name);
}

PixelFilterInstance Host::makeInstance(std::shared_ptr<const PixelFilter> filter) const {
  PixelFilterInstance instance(std::move(filter));
  stateRefusal_.reset();
  if (!scene_.filterState) return instance;
  // The module tells the host of no error when it refuses a state; it shows
  // the user a message and keeps the entries it had.
  const std::size_t before = messages_.messages().size();
  instance.load(*scene_.filterState);
  const std::vector<MessageService::Message> after = messages_.messages();
  StateRefusal refusal;
  for (std::size_t i = before; i < after.size(); ++i) refusal.messages.push_back(after[i].text);
  refusal.problem = checkStateLines(*scene_.filterState);
  if (!refusal.messages.empty() || refusal.problem) stateRefusal_ = std::move(refusal);
  return instance;
}

bool reportStateRefusal(const Host &host, const std::string &scenePath, bool fatal,
                        const std::string &wayOut) {
  const std::optional<StateRefusal> &refusal = host.stateRefusal();
  if (!refusal) return false;
  std::string text = scenePath + ": filter.state";
  if (refusal->problem) text += " line " + std::to_string(refusal->problem->line);
  text += refusal->messages.empty()
              ? ": the stored state does not fit"
              : ": the module refused the stored state (\"" + refusal->messages.front() + "\")";
  if (refusal->problem) {
    text += ": " + refusal->problem->reason;
    if (refusal->problem->line <= host.scene().filterState->size()) {
      text += ": \"" + refusal->problem->text + "\"";
    }
  }
  if (fatal) throw Error(text + "; " + wayOut);
  std::fprintf(stderr, "qxhost: warning: %s\n", text.c_str());
  return true;
}

} // namespace qx
