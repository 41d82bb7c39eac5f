// Scripted panel sessions: parsing, binding to a panel, and playing.
#include "scripts/panel_script.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <sstream>

#include "base/error.h"
#include "base/file_read.h"
#include "loader/module_call.h"
#include "panel/panel_services.h"
#include "scripts/panel_dump.h"
#include "stand_in/stand_in_host.h"

namespace qx {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

// A problem with one line; the parser adds the source and the line number.
struct LineProblem {
  std::string text;
};

[[noreturn]] void problem(const std::string &text) { throw LineProblem{text}; }

// A script's text in double quotes for a message; control bytes (a stray NUL
// or escape in the file) show as \xNN so that the message prints whole.
std::string quote(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Splits a line into words and double-quoted texts, up to a `#` outside
// quotes.
std::vector<Token> tokenize(const std::string &line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      Token token{"", true};
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char d = line[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
          token.text += line[i++];
        } else {
          token.text += d;
        }
      }
      if (!closed) problem("a quoted text is not closed");
      tokens.push_back(std::move(token));
    } else {
      Token token;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '#' && line[i] != '"') {
        token.text += line[i++];
      }
      tokens.push_back(std::move(token));
    }
  }
  return tokens;
}

bool parseWhole(const std::string &text, long long &value) {
  if (text.empty()) return false;
  const char *begin = text.data();
  const char *end = begin + text.size();
  if (*begin == '+') ++begin; // from_chars takes no plus sign
  if (begin == end || (*begin == '-' && begin != text.data())) return false;
  const auto [at, error] = std::from_chars(begin, end, value);
  return error == std::errc() && at == end;
}

// A number; `anyValue` also takes `nan`, `inf` and `-inf`, which only
// forced values may be.
ScriptNumber number(const Token &token, const std::string &what, bool anyValue = false) {
  ScriptNumber n;
  n.text = token.text;
  if (!token.quoted && parseWhole(token.text, n.integer)) {
    n.whole = true;
    // "-0" keeps its sign, as a percent value may need it.
    n.value = n.integer == 0 && token.text[0] == '-' ? -0.0 : static_cast<double>(n.integer);
    return n;
  }
  if (anyValue && !token.quoted) {
    const double infinity = std::numeric_limits<double>::infinity();
    if (token.text == "nan") n.value = std::numeric_limits<double>::quiet_NaN();
    if (token.text == "inf") n.value = infinity;
    if (token.text == "-inf") n.value = -infinity;
    if (token.text == "nan" || token.text == "inf" || token.text == "-inf") return n;
  }
  // Plain decimal notation only: no hexadecimal, no infinities.
  bool plain = !token.quoted && !token.text.empty();
  for (char c : token.text) {
    plain = plain &&
            ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E');
  }
  char *end = nullptr;
  const double value = plain ? std::strtod(token.text.c_str(), &end) : 0.0;
  if (!plain || end != token.text.c_str() + token.text.size() || !std::isfinite(value)) {
    problem(what + " " + quote(token.text) + " is not a number");
  }
  n.value = value;
  return n;
}

ScriptNumber wholeNumber(const Token &token, const std::string &what) {
  ScriptNumber n = number(token, what);
  if (!n.whole) problem(what + " " + quote(token.text) + " is not a whole number");
  return n;
}

ScriptControl control(const Token &token) {
  ScriptControl named;
  if (token.quoted) {
    named.byLabel = true;
    named.label = token.text;
    return named;
  }
  long long value = 0;
  if (!parseWhole(token.text, value) || value < 0 || value > INT_MAX) {
    problem(quote(token.text) +
            " is not a control: name a control by its number or by its label in double quotes");
  }
  named.number = static_cast<int>(value);
  return named;
}

std::string path(const Token &token) {
  if (token.text.empty()) problem("the path is empty");
  return token.text;
}

// The services a script can take away from the module and give back.
const char *const kScriptServices[] = {HOST_COLOR_PICKER, HOST_FILE_REQUEST, HOST_DIRECTORY_INFO,
                                       HOST_MESSAGE_FUNCS};

std::string service(const Token &token, const std::string &command) {
  for (const char *name : kScriptServices) {
    if (token.text == name) return name;
  }
  std::string names;
  for (const char *name : kScriptServices) names += (names.empty() ? "" : ", ") + quote(name);
  problem(command + " takes one of " + names + ", not " + quote(token.text));
}

// The host's own record or function for a service a script names.
void *ownService(Host &host, const std::string &name) {
  if (name == HOST_COLOR_PICKER) return reinterpret_cast<void *>(host.picker().function());
  if (name == HOST_FILE_REQUEST) return reinterpret_cast<void *>(host.files().requestFunction());
  if (name == HOST_DIRECTORY_INFO)
    return reinterpret_cast<void *>(host.files().directoryFunction());
  return const_cast<HostMessageFuncs *>(host.messages().record());
}

// A colour picker that fails: it returns an error, with its answer spoilt.
int failingPicker(int version, HostColorPickRequest *request) noexcept {
  (void)version;
  if (request != nullptr) {
    request->result = 1;
    request->red = request->green = request->blue = 12345.0f;
  }
  return -1;
}

// `forced`: the line came after "force", and its values go unchecked.
ScriptStep parseLine(const std::vector<Token> &tokens, bool forced = false) {
  ScriptStep step;
  const std::string command = tokens[0].quoted ? std::string() : tokens[0].text;
  const std::size_t args = tokens.size() - 1;
  auto expect = [&](bool ok, const char *usage) {
    if (!ok) problem(usage);
  };

  if (command == "force" && !forced) {
    const char *usage = "force goes before set, pointer or picker accept";
    expect(args >= 1, usage);
    step = parseLine(std::vector<Token>(tokens.begin() + 1, tokens.end()), true);
    expect(step.action == ScriptAction::Set || step.action == ScriptAction::PickerAccept ||
               step.action == ScriptAction::Pointer,
           usage);
    step.forced = true;
  } else if (command == "select") {
    expect(args == 2, "select takes a control and a row");
    step.action = ScriptAction::Select;
    step.control = control(tokens[1]);
    step.numbers.push_back(wholeNumber(tokens[2], "row"));
  } else if (command == "click") {
    expect(args == 1, "click takes a control");
    step.action = ScriptAction::Click;
    step.control = control(tokens[1]);
  } else if (command == "set") {
    expect(args == 2 || args == 4, "set takes a control and one or three values");
    step.action = ScriptAction::Set;
    step.control = control(tokens[1]);
    for (std::size_t i = 2; i < tokens.size(); ++i)
      step.numbers.push_back(number(tokens[i], "value", forced));
  } else if (command == "pointer") {
    expect(args == 2, "pointer takes a control and an x position");
    step.action = ScriptAction::Pointer;
    step.control = control(tokens[1]);
    step.numbers.push_back(wholeNumber(tokens[2], "x position"));
    // Whatever the control, an x the host's integer cannot hold is no
    // position, forced or not.
    const long long x = step.numbers.back().integer;
    if (x < INT_MIN || x > INT_MAX) problem("x position " + tokens[2].text + " is out of range");
  } else if (command == "picker") {
    const char *usage = "picker takes accept R G B, cancel or none";
    expect(args >= 1 && !tokens[1].quoted, usage);
    if (tokens[1].text == "accept") {
      expect(args == 4, "picker accept takes three colour values from 0 to 1");
      step.action = ScriptAction::PickerAccept;
      for (std::size_t i = 2; i < 5; ++i) {
        ScriptNumber n = number(tokens[i], "colour value", forced);
        if (!forced && (n.value < 0.0 || n.value > 1.0))
          problem("picker colours run from 0 to 1, not " + n.text);
        step.numbers.push_back(n);
      }
    } else if (tokens[1].text == "cancel") {
      expect(args == 1, usage);
      step.action = ScriptAction::PickerCancel;
    } else if (tokens[1].text == "none") {
      expect(args == 1, usage);
      step.action = ScriptAction::PickerNone;
    } else if (tokens[1].text == "fail") {
      expect(args == 1, usage);
      step.action = ScriptAction::PickerFail;
    } else {
      problem(usage);
    }
  } else if (command == "file") {
    expect(args == 1, "file takes a path, or cancel");
    if (!tokens[1].quoted && tokens[1].text == "cancel") {
      step.action = ScriptAction::FileCancel;
    } else {
      step.action = ScriptAction::File;
      step.path = path(tokens[1]);
    }
  } else if (command == "dump" || command == "canvas") {
    expect(args == 1, command == "dump" ? "dump takes a path" : "canvas takes a path");
    step.action = command == "dump" ? ScriptAction::Dump : ScriptAction::Canvas;
    step.path = path(tokens[1]);
  } else if (command == "without" || command == "with") {
    expect(args == 1, command == "with" ? "with takes a service" : "without takes a service");
    step.action = command == "with" ? ScriptAction::With : ScriptAction::Without;
    step.service = service(tokens[1], command);
  } else if (command == "redraw") {
    expect(args == 0, "redraw takes nothing");
    step.action = ScriptAction::Redraw;
  } else if (command == "reopen") {
    expect(args <= 1, "reopen takes a scene file, or nothing");
    step.action = ScriptAction::Reopen;
    if (args == 1) step.path = path(tokens[1]);
  } else if (command == "close") {
    expect(args == 0, "close takes nothing");
    step.action = ScriptAction::Close;
  } else {
    problem("unknown command " + quote(tokens[0].text));
  }
  return step;
}

// "control 5 "Add Layer"", or "control 18" for a control without a label.
std::string describe(const PanelControl &control) {
  std::string text = "control " + std::to_string(control.index());
  if (!control.label().empty()) text += " " + quote(control.label());
  return text;
}

int find(const ScriptControl &named, const Panel &panel) {
  const std::size_t count = panel.controlCount();
  if (!named.byLabel) {
    if (static_cast<std::size_t>(named.number) >= count) {
      problem("no control " + std::to_string(named.number) + ": the panel has " +
              std::to_string(count) + " controls" +
              (count > 0 ? " (0 to " + std::to_string(count - 1) + ")" : ""));
    }
    return named.number;
  }
  std::vector<int> matches;
  for (std::size_t i = 0; i < count; ++i) {
    if (panel.control(i).label() == named.label) matches.push_back(static_cast<int>(i));
  }
  if (matches.empty()) problem("unknown control " + quote(named.label));
  if (matches.size() > 1) {
    std::string list;
    for (int i : matches) list += (list.empty() ? "" : ", ") + std::to_string(i);
    problem(quote(named.label) + " names controls " + list + ": name one by its number");
  }
  return matches.front();
}

// A forced value needs only the holder of the control's kind: one whole
// number, one number, or three whole numbers that fit an int.
void checkForcedSet(const std::vector<ScriptNumber> &values, const PanelControl &control,
                    const std::string &who) {
  if (control.kind() == ControlKind::Percent) {
    if (values.size() != 1) problem(who + " takes one number");
  } else if (control.kind() == ControlKind::MiniRgb) {
    for (const ScriptNumber &n : values) {
      if (values.size() != 3 || !n.whole || n.integer < INT_MIN || n.integer > INT_MAX)
        problem(who + " takes three whole numbers");
    }
  } else if (values.size() != 1 || !values[0].whole) {
    problem(who + " takes one whole number");
  }
}

void checkSet(const ScriptStep &step, const PanelControl &control) {
  const std::vector<ScriptNumber> &values = step.numbers;
  const std::string who = describe(control) + " (" + controlKindName(control.kind()) + ")";
  if (step.forced) return checkForcedSet(values, control, who);
  const bool oneWhole = values.size() == 1 && values[0].whole;
  switch (control.kind()) {
  case ControlKind::Button:
  case ControlKind::Area:
    problem(who + " holds no value to set; click it instead");
  case ControlKind::ListBox:
    if (!oneWhole) problem(who + " takes one whole number, a row");
    break;
  case ControlKind::Bool:
    if (!oneWhole || (values[0].integer != 0 && values[0].integer != 1))
      problem(who + " takes 0 or 1");
    break;
  case ControlKind::Popup: {
    const long long items = static_cast<long long>(control.items().size());
    if (!oneWhole || values[0].integer < 0 || values[0].integer >= items) {
      problem(who + " takes an item index from 0 to " + std::to_string(items - 1));
    }
    break;
  }
  case ControlKind::Percent:
    if (values.size() != 1) problem(who + " takes one number");
    break;
  case ControlKind::MiniRgb:
    if (values.size() != 3) problem(who + " takes three whole numbers from 0 to 255");
    for (const ScriptNumber &n : values) {
      if (!n.whole || n.integer < 0 || n.integer > 255)
        problem(who + " takes three whole numbers from 0 to 255, not " + n.text);
    }
    break;
  }
}

// The host redraws the panel: the module's draw callback, then every list
// box's rows as a window asks for them, with the row before the first and
// the two after the last, which a host scrolling past the ends may ask for
// too. Throws Error when the module gives no text for one of them.
void redraw(Panel &panel) {
  panel.draw();
  for (std::size_t i = 0; i < panel.controlCount(); ++i) {
    const PanelControl &list = panel.control(i);
    const HostCtlDesc &desc = list.desc();
    if (list.kind() != ControlKind::ListBox || desc.list.count == nullptr ||
        desc.list.name == nullptr)
      continue;
    const int count = callModule(desc.list.count, list.userData());
    for (int row = -1; row <= count + 1; ++row) {
      if (callModule(desc.list.name, list.userData(), row) == nullptr)
        throw Error(describe(list) + ": the module gave no text for row " + std::to_string(row));
    }
  }
}

bool namesControl(ScriptAction action) {
  return action == ScriptAction::Select || action == ScriptAction::Click ||
         action == ScriptAction::Set || action == ScriptAction::Pointer;
}

std::string lineError(const std::string &source, int line, const std::string &text) {
  return source + ": line " + std::to_string(line) + ": " + text;
}

} // namespace

std::string ScriptControl::text() const { return byLabel ? quote(label) : std::to_string(number); }

PanelScript PanelScript::parse(const std::string &text, const std::string &sourceName) {
  PanelScript script;
  script.sourceName_ = sourceName;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  int closedAt = 0;
  while (std::getline(in, line)) {
    ++number;
    try {
      const std::vector<Token> tokens = tokenize(line);
      if (tokens.empty()) continue;
      if (closedAt > 0) {
        problem("nothing can follow \"close\" (line " + std::to_string(closedAt) + ")");
      }
      ScriptStep step = parseLine(tokens);
      step.line = number;
      if (step.action == ScriptAction::Close) closedAt = number;
      script.steps_.push_back(std::move(step));
    } catch (const LineProblem &p) {
      throw Error(lineError(sourceName, number, p.text));
    }
  }
  return script;
}

PanelScript PanelScript::load(const std::string &path) {
  if (path == "-") return parse(readStreamLimited(std::cin, "stdin", "script"), "stdin");
  return parse(readFileLimited(path, "script"), path);
}

std::vector<BoundStep> bindScript(const PanelScript &script, const Panel &panel) {
  std::vector<BoundStep> bound;
  for (const ScriptStep &step : script.steps()) {
    try {
      int index = -1;
      if (namesControl(step.action)) {
        index = find(step.control, panel);
        const PanelControl &control = panel.control(static_cast<std::size_t>(index));
        if (step.action == ScriptAction::Select && control.kind() != ControlKind::ListBox) {
          problem("select needs a list box; " + describe(control) + " is a " +
                  controlKindName(control.kind()));
        }
        if (step.action == ScriptAction::Set) checkSet(step, control);
        if (step.action == ScriptAction::Pointer && !step.forced) {
          const long long x = step.numbers[0].integer;
          if (x < 0 || x >= control.width()) {
            problem("x position " + step.numbers[0].text + " is outside " + describe(control) +
                    ", which is " + std::to_string(control.width()) + " pixels wide (0 to " +
                    std::to_string(control.width() - 1) + "; force pointer puts it anywhere)");
          }
        }
      }
      bound.push_back({&step, index});
    } catch (const LineProblem &p) {
      throw Error(lineError(script.sourceName(), step.line, p.text));
    }
  }
  return bound;
}

// ---------------------------------------------------------------------------
// Sessions

PanelSession::PanelSession(Host &host, PanelScript script, StateFunc state, Outputs outputs)
    : host_(host), script_(std::move(script)), state_(std::move(state)),
      outputs_(std::move(outputs)) {}

void PanelSession::run(Panel &panel) {
  reopen_ = nullptr;
  // Every line is checked against the panel before the first event.
  const std::vector<BoundStep> steps = bind(panel);
  while (next_ < steps.size()) {
    const BoundStep &bound = steps[next_++];
    if (bound.step->action == ScriptAction::Close) break;
    if (bound.step->action == ScriptAction::Reopen) {
      reopen_ = bound.step;
      return;
    }
    play(bound, panel);
    if (panel.closeRequested()) break; // the module closed its panel
  }
  next_ = steps.size();
  finish(panel);
}

std::vector<BoundStep> PanelSession::bind(const Panel &panel) {
  ran_ = true;
  return bindScript(script_, panel);
}

void PanelSession::finish(Panel &panel) {
  if (!outputs_.dumpPath.empty()) writeDump(outputs_.dumpPath, panel);
  if (!outputs_.canvasPath.empty()) writePanelPicture(outputs_.canvasPath, panel);
}

void PanelSession::writeDump(const std::string &path, const Panel &panel) {
  const std::vector<std::string> state = state_ ? state_() : std::vector<std::string>{};
  writePanelDump(path, panelDump(panel, host_, state));
}

void PanelSession::play(const BoundStep &bound, Panel &panel) {
  const ScriptStep &step = *bound.step;
  PanelControl *control =
      bound.control >= 0 ? &panel.control(static_cast<std::size_t>(bound.control)) : nullptr;
  auto fire = [&] { control->fire(); };
  switch (step.action) {
  case ScriptAction::Select:
    control->setInt(static_cast<intptr_t>(step.numbers[0].integer));
    fire();
    break;
  case ScriptAction::Click:
    fire();
    break;
  case ScriptAction::Set:
    if (control->kind() == ControlKind::Percent) {
      control->setFloat(step.numbers[0].value);
    } else if (control->kind() == ControlKind::MiniRgb) {
      control->setRgb(static_cast<int>(step.numbers[0].integer),
                      static_cast<int>(step.numbers[1].integer),
                      static_cast<int>(step.numbers[2].integer));
    } else {
      control->setInt(static_cast<intptr_t>(step.numbers[0].integer));
    }
    fire();
    break;
  case ScriptAction::Pointer:
    control->setPointerX(static_cast<int>(step.numbers[0].integer));
    break;
  case ScriptAction::PickerAccept:
    host_.picker().acceptWith(static_cast<float>(step.numbers[0].value),
                              static_cast<float>(step.numbers[1].value),
                              static_cast<float>(step.numbers[2].value));
    host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(host_.picker().function()));
    break;
  case ScriptAction::PickerCancel:
    host_.picker().cancel();
    host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(host_.picker().function()));
    break;
  case ScriptAction::PickerNone:
    host_.withdraw(HOST_COLOR_PICKER);
    break;
  case ScriptAction::File:
    host_.files().answerWith(step.path);
    break;
  case ScriptAction::FileCancel:
    host_.files().cancel();
    break;
  case ScriptAction::Dump:
    writeDump(step.path, panel);
    break;
  case ScriptAction::Canvas:
    writePanelPicture(step.path, panel);
    break;
  case ScriptAction::PickerFail:
    host_.provide(HOST_COLOR_PICKER, reinterpret_cast<void *>(failingPicker));
    break;
  case ScriptAction::Without:
    host_.withdraw(step.service);
    break;
  case ScriptAction::With:
    host_.provide(step.service, ownService(host_, step.service));
    break;
  case ScriptAction::Redraw:
    redraw(panel);
    break;
  case ScriptAction::Close:
  case ScriptAction::Reopen:
    break;
  }
}

} // namespace qx
