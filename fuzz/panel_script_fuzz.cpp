// Feeds arbitrary text to the panel-script parser. Any text either parses or
// is refused with the host's own error, whose message names the source and
// the line; nothing else may come out of it. A script that parses must hold
// steps the grammar allows (finite numbers unless forced, whole ones where a
// whole one is required, paths that are not empty, services the host has,
// nothing after "close"), and the steps
// written back as script text, each on its own line, must parse to the very
// same steps.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "base/error.h"
#include "fuzz_support.h"
#include "scripts/panel_script.h"

namespace {

const char kSource[] = "fuzz.qxs";

[[noreturn]] void Fail(const std::string &what, const std::string &text) {
  fuzz::Fail("panel_script", what, text);
}

// The number of lines std::getline gives for the text.
int LineCount(const std::string &text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
}

// Parses, or returns false with the refusal's message after checking that it
// names the source, "line N" with N a line of the text, and a problem.
bool Parse(const std::string &text, const std::string &input, qx::PanelScript *script,
           std::string *refusal) {
  try {
    *script = qx::PanelScript::parse(text, kSource);
    return true;
  } catch (const qx::Error &e) {
    const std::string message = e.what();
    const std::string prefix = std::string(kSource) + ": line ";
    int line = 0;
    size_t at = prefix.size();
    if (message.rfind(prefix, 0) == 0) {
      while (at < message.size() && message[at] >= '0' && message[at] <= '9' && line < 1000000)
        line = line * 10 + (message[at++] - '0');
    }
    if (message.rfind(prefix, 0) != 0 || line < 1 || line > LineCount(text) ||
        message.compare(at, 2, ": ") != 0 || message.size() == at + 2)
      Fail("the refusal \"" + message + "\" does not name the source, a line and a problem", input);
    *refusal = message;
    return false;
  } catch (const std::exception &e) {
    Fail(std::string("the parser threw something else: ") + e.what(), input);
  } catch (...) {
    Fail("the parser threw something that is no exception", input);
  }
}

std::string ControlText(const qx::ScriptControl &control) {
  return control.byLabel ? fuzz::Quoted(control.label) : std::to_string(control.number);
}

// The step as a script line.
std::string StepText(const qx::ScriptStep &step) {
  std::string line;
  auto numbers = [&] {
    for (const qx::ScriptNumber &n : step.numbers) line += " " + n.text;
  };
  switch (step.action) {
  case qx::ScriptAction::Select:
    line = "select " + ControlText(step.control);
    numbers();
    break;
  case qx::ScriptAction::Click:
    line = "click " + ControlText(step.control);
    break;
  case qx::ScriptAction::Set:
    line = "set " + ControlText(step.control);
    numbers();
    break;
  case qx::ScriptAction::Pointer:
    line = "pointer " + ControlText(step.control);
    numbers();
    break;
  case qx::ScriptAction::PickerAccept:
    line = "picker accept";
    numbers();
    break;
  case qx::ScriptAction::PickerCancel:
    line = "picker cancel";
    break;
  case qx::ScriptAction::PickerNone:
    line = "picker none";
    break;
  case qx::ScriptAction::File:
    line = "file " + fuzz::Quoted(step.path);
    break;
  case qx::ScriptAction::FileCancel:
    line = "file cancel";
    break;
  case qx::ScriptAction::Dump:
    line = "dump " + fuzz::Quoted(step.path);
    break;
  case qx::ScriptAction::Canvas:
    line = "canvas " + fuzz::Quoted(step.path);
    break;
  case qx::ScriptAction::Close:
    line = "close";
    break;
  case qx::ScriptAction::PickerFail:
    line = "picker fail";
    break;
  case qx::ScriptAction::Without:
    line = "without " + fuzz::Quoted(step.service);
    break;
  case qx::ScriptAction::With:
    line = "with " + fuzz::Quoted(step.service);
    break;
  case qx::ScriptAction::Redraw:
    line = "redraw";
    break;
  case qx::ScriptAction::Reopen:
    line = step.path.empty() ? "reopen" : "reopen " + fuzz::Quoted(step.path);
    break;
  }
  return step.forced ? "force " + line : line;
}

// What is wrong with a parsed step, or "".
std::string StepFault(const qx::ScriptStep &step) {
  size_t expected = 0;
  bool whole = false;
  switch (step.action) {
  case qx::ScriptAction::Select:
  case qx::ScriptAction::Pointer:
    expected = 1;
    whole = true;
    break;
  case qx::ScriptAction::Set:
    if (step.numbers.size() != 1 && step.numbers.size() != 3) return "set holds no 1 or 3 values";
    expected = step.numbers.size();
    break;
  case qx::ScriptAction::PickerAccept:
    expected = 3;
    for (const qx::ScriptNumber &n : step.numbers)
      if (!step.forced && !(n.value >= 0.0 && n.value <= 1.0))
        return "a picker colour outside 0 to 1";
    break;
  case qx::ScriptAction::Without:
  case qx::ScriptAction::With:
    if (step.service != "Color Picker" && step.service != "File Request" &&
        step.service != "Directory Info" && step.service != "Info Messages 2")
      return "an unknown service \"" + step.service + "\"";
    break;
  case qx::ScriptAction::File:
  case qx::ScriptAction::Dump:
  case qx::ScriptAction::Canvas:
    if (step.path.empty()) return "an empty path";
    break;
  default:
    break;
  }
  if (step.forced && step.action != qx::ScriptAction::Set &&
      step.action != qx::ScriptAction::PickerAccept && step.action != qx::ScriptAction::Pointer)
    return "a forced step that is neither set, pointer nor picker accept";
  if (step.numbers.size() != expected) return "the step holds the wrong count of numbers";
  for (const qx::ScriptNumber &n : step.numbers) {
    // Only forced values may be nan or infinite.
    const bool special = n.text == "nan" || n.text == "inf" || n.text == "-inf";
    if (!std::isfinite(n.value) && !(step.forced && special))
      return "the number " + n.text + " is not finite";
    if (n.text.empty()) return "a number without its text";
    if (whole && !n.whole) return "the number " + n.text + " is not whole";
    if (n.whole && n.value != static_cast<double>(n.integer))
      return "the whole number " + n.text + " has another value";
  }
  const bool named =
      step.action == qx::ScriptAction::Select || step.action == qx::ScriptAction::Click ||
      step.action == qx::ScriptAction::Set || step.action == qx::ScriptAction::Pointer;
  if (named && !step.control.byLabel && step.control.number < 0)
    return "a control with a negative number";
  return "";
}

bool SameNumber(const qx::ScriptNumber &a, const qx::ScriptNumber &b) {
  const bool sameValue = a.value == b.value || (std::isnan(a.value) && std::isnan(b.value));
  return a.text == b.text && a.whole == b.whole && a.integer == b.integer &&
         std::signbit(a.value) == std::signbit(b.value) && sameValue;
}

bool SameStep(const qx::ScriptStep &a, const qx::ScriptStep &b) {
  if (a.line != b.line || a.action != b.action || a.path != b.path || a.service != b.service ||
      a.forced != b.forced || a.control.byLabel != b.control.byLabel ||
      a.control.number != b.control.number || a.control.label != b.control.label ||
      a.numbers.size() != b.numbers.size())
    return false;
  for (size_t i = 0; i < a.numbers.size(); ++i)
    if (!SameNumber(a.numbers[i], b.numbers[i])) return false;
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  qx::PanelScript script;
  std::string refusal;
  if (!Parse(text, text, &script, &refusal)) return 0;

  if (script.sourceName() != kSource) Fail("the script lost its source name", text);
  const std::vector<qx::ScriptStep> &steps = script.steps();
  int lastLine = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    const qx::ScriptStep &step = steps[i];
    if (step.line <= lastLine || step.line > LineCount(text))
      Fail("step " + std::to_string(i) + " stands on line " + std::to_string(step.line), text);
    lastLine = step.line;
    const std::string fault = StepFault(step);
    if (!fault.empty()) Fail("line " + std::to_string(step.line) + ": " + fault, text);
    if (step.action == qx::ScriptAction::Close && i + 1 != steps.size())
      Fail("a step follows \"close\"", text);
  }

  // The steps written back, each on the line it came from.
  std::string written;
  int line = 1;
  for (const qx::ScriptStep &step : steps) {
    for (; line < step.line; ++line) written += "\n";
    written += StepText(step) + "\n";
    ++line;
  }
  qx::PanelScript again;
  if (!Parse(written, text, &again, &refusal))
    Fail("the steps written back were refused: " + refusal, text);
  if (again.steps().size() != steps.size())
    Fail("the steps written back parse to " + std::to_string(again.steps().size()) +
             " steps, not " + std::to_string(steps.size()),
         text);
  for (size_t i = 0; i < steps.size(); ++i)
    if (!SameStep(steps[i], again.steps()[i]))
      Fail("step " + std::to_string(i) + " written back as \"" + StepText(steps[i]) +
               "\" parses to another step",
           text);
  return 0;
}
