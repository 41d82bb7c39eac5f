// Scripted panel sessions: a user's events written as lines of text, checked
// whole before the panel opens and played while it is open.
//
// One command a line; `#` starts a comment outside double quotes; blank lines
// are ignored. A control is named by its number or by its label in double
// quotes ("Add Layer"). Inside double quotes, \" and \\ stand for " and \.
//
//   select CONTROL ROW      a list box's row is picked: set the value, fire
//   click CONTROL           the control is clicked: fire
//   set CONTROL VALUE...    a value is entered (one integer for check boxes,
//                           popups and list boxes, one number for percent
//                           controls, three integers 0..255 for the colour
//                           swatch): set the value, fire
//   pointer CONTROL X       the pointer's x over the control for later events
//                           (0 to the control's width less one)
//   picker accept R G B     from now on the colour picker accepts R G B (0..1)
//   picker cancel           from now on the colour picker is cancelled
//   picker none             from now on there is no colour picker
//   picker fail             from now on the colour picker fails
//   file PATH               from now on the file requester chooses PATH
//   file cancel             from now on the file requester is cancelled
//   without SERVICE         the host withdraws "Color Picker", "File Request",
//                           "Directory Info" or "Info Messages 2"
//   with SERVICE            the host provides its own service again
//   redraw                  the host redraws the panel and reads every list
//   dump PATH               writes the panel dump (JSON)
//   canvas PATH             writes the panel picture (PNG)
//   reopen [SCENE]          closes the panel and opens it again, over the
//                           surfaces (and stored state) of SCENE if given
//   close                   closes the panel; so does the end of the script
//
// "force" before "set", "pointer" or "picker accept" lifts the checks of the
// values: any whole number for a list box, check box, popup, button or area,
// any number for a percent control or the picker, `nan`, `inf` and `-inf`
// included, three whole numbers for the colour swatch, a pointer anywhere
// an integer reaches. That is what damaged data or a faulty host may hand
// the module.
//
// Events reach a control's handler whatever its drawing state: a ghosted
// control's handler decides for itself whether to act.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qx {

class Host;
class Panel;

// A control as a script names it.
struct ScriptControl {
  bool byLabel = false;
  int number = -1;   // when named by number
  std::string label; // when named by label
  // As written in messages: 5, or "Add Layer" with its quotes.
  std::string text() const;
};

// A number as written in a script.
struct ScriptNumber {
  std::string text;
  double value = 0.0;
  bool whole = false;    // written as a whole number
  long long integer = 0; // its value, when whole
};

enum class ScriptAction {
  Select,
  Click,
  Set,
  Pointer,
  PickerAccept,
  PickerCancel,
  PickerNone,
  File,
  FileCancel,
  Dump,
  Canvas,
  Close,
  PickerFail,
  Without,
  With,
  Redraw,
  Reopen,
};

struct ScriptStep {
  int line = 0;
  ScriptAction action = ScriptAction::Close;
  ScriptControl control;             // select, click, set, pointer
  std::vector<ScriptNumber> numbers; // select: row; set: values; pointer: x; picker accept: R G B
  std::string path;                  // file, dump, canvas; reopen: the scene, or empty
  std::string service;               // without, with
  bool forced = false;               // set, picker accept: the values were not checked
};

class PanelScript {
public:
  PanelScript() = default;

  // Throws Error "<sourceName>: line N: <problem>" for the first bad line.
  static PanelScript parse(const std::string &text, const std::string &sourceName);
  // Reads and parses a script file; "-" reads standard input, named "stdin"
  // in messages.
  static PanelScript load(const std::string &path);

  const std::string &sourceName() const { return sourceName_; }
  const std::vector<ScriptStep> &steps() const { return steps_; }

private:
  std::string sourceName_;
  std::vector<ScriptStep> steps_;
};

// A step with the number of the control it names on a panel; -1 for steps
// that name none.
struct BoundStep {
  const ScriptStep *step;
  int control;
};

// Finds the control of every step on `panel` and checks that the control
// takes the step: `select` needs a list box; `set` needs values of the
// control's kind, and a popup index within its items. Throws Error
// "<source>: line N: <problem>" for the first step that does not fit, e.g.
// `unknown control "Ad Layer"`.
std::vector<BoundStep> bindScript(const PanelScript &script, const Panel &panel);

// A scripted session, installed as the panel service's open handler: binds
// the whole script to the panel before any event, plays it, and at the end
// writes the final dump and picture when asked for. An unbound script fires
// no event and writes nothing. At a `reopen` line the opening ends early:
// the host then reopens the panel, and the next run goes on after that line.
class PanelSession {
public:
  using StateFunc = std::function<std::vector<std::string>()>;
  struct Outputs {
    std::string dumpPath;   // written when the panel closes; empty for none
    std::string canvasPath; // the same for the picture
  };

  // `state` gives the instance's scene-state lines for the dumps.
  PanelSession(Host &host, PanelScript script, StateFunc state, Outputs outputs);

  void run(Panel &panel);
  bool ran() const { return ran_; }
  // Whether the last run stopped at a `reopen` line, and the scene it names
  // (empty for none).
  bool reopenRequested() const { return reopen_ != nullptr; }
  const std::string &reopenScene() const { return reopen_->path; }

  // Carries out one step as run() does; for a host that binds and plays
  // steps itself. `close` and `reopen` do nothing here.
  void play(const BoundStep &bound, Panel &panel);

  // run() in its other parts, for a front that plays the steps itself (the
  // window host delivers each control's event through its widget, one step
  // per turn of its event loop): bind() checks the whole script against the
  // panel and marks the session run; finish() writes the dump and the
  // picture asked for at the close.
  std::vector<BoundStep> bind(const Panel &panel);
  void finish(Panel &panel);

private:
  void writeDump(const std::string &path, const Panel &panel);

  Host &host_;
  PanelScript script_;
  StateFunc state_;
  Outputs outputs_;
  bool ran_ = false;
  std::size_t next_ = 0;               // the step the next run starts with
  const ScriptStep *reopen_ = nullptr; // the `reopen` the last run stopped at
};

} // namespace qx
