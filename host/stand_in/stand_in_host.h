// The stand-in host: the services, the loaded module and its pixel filter.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "loader/filter.h"
#include "loader/module_library.h"
#include "loader/services.h"
#include "panel/file_request.h"
#include "panel/panel_services.h"
#include "panel/picker.h"
#include "scene/messages.h"
#include "scene/scene.h"
#include "scene/state_check.h"
#include "scene/surfaces.h"

namespace qx {

// How the module took a scene's stored filter state that it refused: what it
// showed the user while loading, and the first stored line that does not fit
// the format (none when the lines fit and the module still refused, e.g. for
// a lack of memory).
struct StateRefusal {
  std::vector<std::string> messages;
  std::optional<StateProblem> problem;
};

// The name both of the module's servers carry.
inline constexpr char kFilterServerName[] = "Quintessalux";

// Owns the service registry, every service and the loaded module. Its
// registry is the current one while it lives, so the module's lookups reach
// this host's services. Instances and servers made from the module keep the
// module loaded even past the host; they should still end first, since the
// services they may call end with the host.
class Host {
public:
  struct Options {
    // Service names the host does not provide, e.g. "Surface Functions 2".
    std::set<std::string> withdraw;
    // Whether messages from the module are echoed to stderr.
    bool echoMessages = true;
  };

  Host();
  explicit Host(Scene scene);
  Host(Scene scene, Options options);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // The module. Loading a second one releases the first.
  const ModuleLibrary &loadModule(const std::string &path);
  // Throws Error when no module is loaded.
  const ModuleLibrary &module() const;

  // The scene; a new one replaces the surfaces served.
  const Scene &scene() const { return scene_; }
  void setScene(Scene scene);

  // Services.
  ServiceRegistry &registry() { return registry_; }
  SurfaceService &surfaces() { return surfaces_; }
  MessageService &messages() { return messages_; }
  PanelService &panels() { return panels_; }
  ColorPickerService &picker() { return picker_; }
  FileRequestService &files() { return files_; }
  // Adds a service by name, unless the options withdraw that name.
  void provide(const std::string &name, void *service);
  void withdraw(const std::string &name) { registry_.withdraw(name); }
  bool provides(const std::string &name) const { return registry_.find(name) != nullptr; }

  // The module's filter servers, activated; throw Error when there is no
  // module or the server is missing or refuses.
  std::shared_ptr<const PixelFilter> makeFilter(const std::string &name = kFilterServerName) const;
  std::unique_ptr<FilterInterface> makeInterface(const std::string &name = kFilterServerName) const;
  // A new instance of `filter` from the scene: created, then given the
  // scene's stored filter state when it has one.
  PixelFilterInstance makeInstance(std::shared_ptr<const PixelFilter> filter) const;
  // Set by makeInstance when the module refused the stored state (it showed
  // a message while loading) or the stored lines do not fit the format.
  const std::optional<StateRefusal> &stateRefusal() const { return stateRefusal_; }

private:
  std::shared_ptr<const ModuleLibrary> requireModule() const;

  Options options_;
  Scene scene_;
  ServiceRegistry registry_;
  SurfaceService surfaces_;
  MessageService messages_;
  PanelService panels_;
  ColorPickerService picker_;
  FileRequestService files_;
  std::shared_ptr<const ModuleLibrary> module_;
  mutable std::optional<StateRefusal> stateRefusal_;
};

// Reports a stored state the module refused when making an instance from
// the scene at `scenePath`: throws Error when `fatal` (the text ending with
// `wayOut`), else warns on stderr and returns true. Returns false when there
// was nothing to report.
bool reportStateRefusal(const Host &host, const std::string &scenePath, bool fatal,
                        const std::string &wayOut);

} // namespace qx
