// An editing session in windows: the module's panel in its window, the render
// view beside it, and, for a script, its steps played through the widgets one
// event per turn of FLTK's event loop.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frames/frame.h"
#include "loader/filter.h"
#include "scene/cryptomatte.h"
#include "scripts/panel_script.h"
#include "window/live_render.h"

namespace qx {

class Host;
class Panel;
class PanelWindow;
class RenderView;
struct Scene;

// The windows of a session while it runs.
struct EditWindows {
  PanelWindow &panel;
  RenderView *view; // null without a frame
};

struct EditOptions {
  // The render view's frame as read, null for no view; the frame as the
  // filter takes it; what happens to each render before it is shown; and
  // the threads it renders on (0: one per core).
  const Frame *frame = nullptr;
  Frame filterInput;
  LiveRender::Finish finish;
  unsigned int threads = 0;
  std::string frameName;
  // Where the frame lies in its picture (the view shows the display window);
  // none given (the default), the frame is the whole picture.
  FrameWindows windows;
  // Under --cryptomatte: the layer, and its rank planes (id, coverage, ...),
  // which give each pixel its ids; a click picks the id of most coverage.
  std::optional<CryptomatteLayer> layer;
  std::vector<std::vector<float>> ranks;
  // The session: its outputs are written when the panel closes. When
  // `scripted`, its script is played through the widgets and the panel
  // closes at its end; the window's picture then goes to `screenshot` (and
  // the view's beside it, see viewPicturePath), after the last render is in.
  // Otherwise a person is at the controls until they close the window.
  PanelSession *session = nullptr;
  bool scripted = false;
  std::string scriptName;
  std::string screenshot;
  // Called once the windows are shown; and, for a script, when it has played,
  // before the pictures are taken and the windows closed.
  std::function<void(EditWindows &)> opened;
  std::function<void(EditWindows &)> played;
};

// Where the render view's picture goes beside the panel's: "shot.png" gives
// "shot-view.png".
std::string viewPicturePath(const std::string &panelPicture);

// The buffer list's row whose entry a special-buffer value selects, -1 for
// none, for a list of `rows` rows: the panel lists the distinct values the
// surfaces carry, in surface order, as many as the module made entries for;
// the filter matches a pixel's float exactly.
int entryRowFor(const Scene &scene, float value, std::size_t rows);

class EditSession {
public:
  // `instance` is the instance whose panel opens; its saved lines decide
  // when the view renders again.
  EditSession(Host &host, const PixelFilterInstance &instance,
              std::shared_ptr<const PixelFilter> filter, EditOptions options);

  // The panel service's open handler: shows the windows and runs the event
  // loop until the panel's window closes (the user, the module, or the end
  // of the script). Throws what went wrong once the windows are closed.
  void run(Panel &panel);

private:
  Host &host_;
  const PixelFilterInstance &instance_;
  std::shared_ptr<const PixelFilter> filter_;
  EditOptions options_;
};

} // namespace qx
