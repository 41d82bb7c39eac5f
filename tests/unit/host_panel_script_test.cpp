// Panel scripts: every command as it parses, bad lines named by their number,
// labels bound to a panel's controls, and sessions played on a panel.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "scripts/panel_script.h"
#include "stand_in/stand_in_host.h"

namespace {

using qx::PanelScript;
using qx::ScriptAction;
using qx::ScriptStep;

// The error text of parsing `text` as "s.txt", or "(no error)".
std::string parseError(const std::string &text) {
  try {
    PanelScript::parse(text, "s.txt");
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

TEST(PanelScriptParsing, EveryCommandBecomesOneStepWithItsArguments) {
  const PanelScript script = PanelScript::parse("select 0 2\n"
                                                "click \"Add Layer\"\n"
                                                "set 19 50.5\n"
                                                "set 18 255 128 0\n"
                                                "pointer 18 -7\n"
                                                "picker accept 1 0.5 0\n"
                                                "picker cancel\n"
                                                "picker none\n"
                                                "file sets/warm.QXD\n"
                                                "file cancel\n"
                                                "dump out/a.json\n"
                                                "canvas \"out/b c.png\"\n"
                                                "close\n",
                                                "s.txt");
  const std::vector<ScriptStep> &steps = script.steps();
  ASSERT_EQ(steps.size(), 13u);
  const ScriptAction expected[] = {
      ScriptAction::Select,       ScriptAction::Click,      ScriptAction::Set,
      ScriptAction::Set,          ScriptAction::Pointer,    ScriptAction::PickerAccept,
      ScriptAction::PickerCancel, ScriptAction::PickerNone, ScriptAction::File,
      ScriptAction::FileCancel,   ScriptAction::Dump,       ScriptAction::Canvas,
      ScriptAction::Close};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].action, expected[i]) << "line " << i + 1;
    EXPECT_EQ(steps[i].line, static_cast<int>(i) + 1);
  }

  EXPECT_FALSE(steps[0].control.byLabel);
  EXPECT_EQ(steps[0].control.number, 0);
  ASSERT_EQ(steps[0].numbers.size(), 1u);
  EXPECT_TRUE(steps[0].numbers[0].whole);
  EXPECT_EQ(steps[0].numbers[0].integer, 2) << "the row of select 0 2";

  EXPECT_TRUE(steps[1].control.byLabel);
  EXPECT_EQ(steps[1].control.label, "Add Layer");

  ASSERT_EQ(steps[2].numbers.size(), 1u);
  EXPECT_FALSE(steps[2].numbers[0].whole) << "50.5 is not a whole number";
  EXPECT_EQ(steps[2].numbers[0].value, 50.5);

  ASSERT_EQ(steps[3].numbers.size(), 3u);
  EXPECT_EQ(steps[3].numbers[0].integer, 255);
  EXPECT_EQ(steps[3].numbers[1].integer, 128);
  EXPECT_EQ(steps[3].numbers[2].integer, 0);

  EXPECT_EQ(steps[4].numbers[0].integer, -7) << "a pointer may stand left of the control";

  ASSERT_EQ(steps[5].numbers.size(), 3u);
  EXPECT_EQ(steps[5].numbers[0].value, 1.0);
  EXPECT_EQ(steps[5].numbers[1].value, 0.5);
  EXPECT_EQ(steps[5].numbers[2].value, 0.0);

  EXPECT_EQ(steps[8].path, "sets/warm.QXD");
  EXPECT_EQ(steps[10].path, "out/a.json");
  EXPECT_EQ(steps[11].path, "out/b c.png") << "a quoted path keeps its space";
}

TEST(PanelScriptParsing, CommentsAndBlankLinesAreSkippedButStillCounted) {
  const PanelScript script = PanelScript::parse("# pick the first entry\n"
                                                "\n"
                                                "   \t\n"
                                                "select 0 0   # the buffer list\n"
                                                "click \"#1\"  # a hash inside quotes\n",
                                                "s.txt");
  ASSERT_EQ(script.steps().size(), 2u);
  EXPECT_EQ(script.steps()[0].line, 4) << "the step's line counts comment and blank lines";
  EXPECT_EQ(script.steps()[1].line, 5);
  EXPECT_EQ(script.steps()[1].control.label, "#1") << "a # inside quotes starts no comment";
  EXPECT_TRUE(PanelScript::parse("", "s.txt").steps().empty()) << "an empty script";
}

TEST(PanelScriptParsing, QuotedTextsTakeEscapedQuotesAndBackslashes) {
  const PanelScript script =
      PanelScript::parse("click \"say \\\"hi\\\"\"\nfile \"C:\\\\sets\\\\a.QXD\"\r\n", "s.txt");
  ASSERT_EQ(script.steps().size(), 2u);
  EXPECT_EQ(script.steps()[0].control.label, "say \"hi\"");
  EXPECT_EQ(script.steps()[1].path, "C:\\sets\\a.QXD") << "a carriage return ends the line";
  EXPECT_EQ(script.steps()[0].control.text(), "\"say \"hi\"\"");
}

TEST(PanelScriptParsing, ControlBytesInAQuotedWordAreShownEscapedSoTheMessagePrintsWhole) {
  const char bytes[] = "click 5\njum\0p\x1b\x7f 3\n";
  const std::string text(bytes, sizeof bytes - 1);
  try {
    PanelScript::parse(text, "s.txt");
    ADD_FAILURE() << "a command with a NUL byte parsed";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), "s.txt: line 2: unknown command \"jum\\x00p\\x1b\\x7f\"");
  }
}

TEST(PanelScriptParsing, ABadLineIsReportedWithItsNumberAndProblem) {
  const std::pair<const char *, const char *> cases[] = {
      {"select 0 0\n\njump 3\n", "s.txt: line 3: unknown command \"jump\""},
      {"select 0\n", "s.txt: line 1: select takes a control and a row"},
      {"select 0 x\n", "s.txt: line 1: row \"x\" is not a number"},
      {"select 0 1.5\n", "s.txt: line 1: row \"1.5\" is not a whole number"},
      {"click\n", "s.txt: line 1: click takes a control"},
      {"click Add\n", "s.txt: line 1: \"Add\" is not a control: name a control by its number or "
                      "by its label in double quotes"},
      {"click -1\n", "s.txt: line 1: \"-1\" is not a control: name a control by its number or "
                     "by its label in double quotes"},
      {"set 19\n", "s.txt: line 1: set takes a control and one or three values"},
      {"set 18 1 2\n", "s.txt: line 1: set takes a control and one or three values"},
      {"set 19 inf\n", "s.txt: line 1: value \"inf\" is not a number"},
      {"set 19 0x10\n", "s.txt: line 1: value \"0x10\" is not a number"},
      {"pointer 18\n", "s.txt: line 1: pointer takes a control and an x position"},
      {"picker accept 1 0\n", "s.txt: line 1: picker accept takes three colour values from 0 to 1"},
      {"picker accept 1 0 1.5\n", "s.txt: line 1: picker colours run from 0 to 1, not 1.5"},
      {"picker maybe\n", "s.txt: line 1: picker takes accept R G B, cancel or none"},
      {"file\n", "s.txt: line 1: file takes a path, or cancel"},
      {"file \"\"\n", "s.txt: line 1: the path is empty"},
      {"dump\n", "s.txt: line 1: dump takes a path"},
      {"canvas a.png b.png\n", "s.txt: line 1: canvas takes a path"},
      {"close now\n", "s.txt: line 1: close takes nothing"},
      {"click \"Add Layer\n", "s.txt: line 1: a quoted text is not closed"},
      {"close\n# done\nclick 5\n", "s.txt: line 3: nothing can follow \"close\" (line 1)"},
  };
  for (const auto &[text, expected] : cases) {
    EXPECT_EQ(parseError(text), expected) << "script: " << text;
  }
}

TEST(PanelScriptParsing, AScriptFileIsNamedByItsPathInMessages) {
  const std::string path = testing::TempDir() + "panel_script_test_bad.txt";
  std::ofstream(path) << "click 3\nclick 4 5\n";
  try {
    PanelScript::load(path);
    ADD_FAILURE() << "a script with a bad line loaded";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), path + ": line 2: click takes a control");
  }
  try {
    PanelScript::load(path + ".missing");
    ADD_FAILURE() << "a missing script loaded";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), path + ".missing: cannot read the script");
  }
  std::remove(path.c_str());
}

// ---------------------------------------------------------------------------
// Binding to a panel and playing a session

// A handler that counts its events and notes the value and pointer it saw.
struct Seen {
  int events = 0;
  long long lastValue = -99;
  double lastFloat = -99.0;
  int lastPointer = -99;
  std::vector<int> controls;
  HostControl *closeOn = nullptr; // this control's event closes the panel
};

void recordEvent(HostControl *control, void *data) {
  Seen *seen = static_cast<Seen *>(data);
  ++seen->events;
  HostValue value{};
  control->get(control, HOST_CTL_VALUE, &value);
  if (value.type == HOST_VALUE_FLOAT) {
    seen->lastFloat = value.flt.value;
  } else if (value.type == HOST_VALUE_INT) {
    seen->lastValue = static_cast<long long>(value.intv.value);
  }
  HostValue pointer{};
  control->get(control, HOST_CTL_MOUSEX, &pointer);
  seen->lastPointer = static_cast<int>(pointer.intv.value);
  seen->controls.push_back(qx::PanelControl::from(control)->index());
}

void closeOnEvent(HostControl *control, void *data) {
  Seen *seen = static_cast<Seen *>(data);
  recordEvent(control, data);
  if (control == seen->closeOn) {
    qx::Panel &panel = qx::PanelControl::from(control)->panel();
    panel.services()->close(panel.id());
  }
}

void setInt(HostControl *control, int tag, intptr_t value) {
  HostValue holder{};
  holder.intv.type = HOST_VALUE_INT;
  holder.intv.value = value;
  control->set(control, tag, &holder);
}

// A small panel made through the panel services as a module makes one:
// 0 list "BufferList", 1 button "Add Layer", 2 check box "Active", 3 popup
// "Mode" (three items), 4 percent "Intensity", 5 swatch "", 6 area "".
// Every control reports to `seen`.
const char *const kModes[] = {"AmbientLight", "Add", "Sub", nullptr};

int noRows(void *) { return 0; }
const char *noRow(void *, int) { return " "; }

HostPanelID makePanel(HostPanelFuncs *funcs, Seen &seen, HostCtlEventFunc *handler = recordEvent) {
  HostPanelID panel = funcs->create("Test", funcs);
  HostCtlDesc desc{};
  desc.list = {HOST_DESC_LIST, 80, 4, noRows, noRow};
  std::vector<HostControl *> made;
  made.push_back(funcs->addControl(panel, HOST_KIND_LISTBOX, &desc, "BufferList"));
  desc.area = {HOST_DESC_AREA, 68, 0};
  made.push_back(funcs->addControl(panel, HOST_KIND_BUTTON, &desc, "Add Layer"));
  desc.type = HOST_DESC_BOOL;
  made.push_back(funcs->addControl(panel, HOST_KIND_BOOL, &desc, "Active"));
  desc.choice = {HOST_DESC_CHOICE, const_cast<const char **>(kModes), 96};
  made.push_back(funcs->addControl(panel, HOST_KIND_POPUP, &desc, "Mode"));
  desc.range = {HOST_DESC_RANGE, 0, 100};
  made.push_back(funcs->addControl(panel, HOST_KIND_PERCENT, &desc, "Intensity"));
  desc.type = HOST_DESC_IVEC;
  made.push_back(funcs->addControl(panel, HOST_KIND_MINIRGB, &desc, ""));
  desc.area = {HOST_DESC_AREA, 96, 80};
  made.push_back(funcs->addControl(panel, HOST_KIND_AREA, &desc, ""));
  for (HostControl *control : made) {
    setInt(control, HOST_CTL_USERDATA, reinterpret_cast<intptr_t>(&seen));
    setInt(control, HOST_CTL_EVENT, reinterpret_cast<intptr_t>(handler));
  }
  return panel;
}

std::string bindError(const std::string &text, qx::Panel &panel) {
  try {
    qx::bindScript(PanelScript::parse(text, "s.txt"), panel);
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

qx::Host::Options quiet() {
  qx::Host::Options options;
  options.echoMessages = false;
  return options;
}

TEST(PanelScriptBinding, LabelsAndNumbersFindTheirControls) {
  qx::Host host(qx::Scene{}, quiet());
  Seen seen;
  HostPanelID id = makePanel(host.panels().record(), seen);
  qx::Panel &panel = *host.panels().lastPanel();
  ASSERT_EQ(panel.id(), id);

  const PanelScript script =
      PanelScript::parse("click \"Add Layer\"\nset \"Mode\" 2\nclick 6\npicker none\n", "s.txt");
  const std::vector<qx::BoundStep> bound = qx::bindScript(script, panel);
  ASSERT_EQ(bound.size(), 4u);
  EXPECT_EQ(bound[0].control, 1) << "\"Add Layer\" is control 1";
  EXPECT_EQ(bound[1].control, 3) << "\"Mode\" is control 3";
  EXPECT_EQ(bound[2].control, 6);
  EXPECT_EQ(bound[3].control, -1) << "the picker names no control";
}

TEST(PanelScriptBinding, AStepThatDoesNotFitThePanelNamesItsLine) {
  qx::Host host(qx::Scene{}, quiet());
  Seen seen;
  makePanel(host.panels().record(), seen);
  qx::Panel &panel = *host.panels().lastPanel();
  const std::pair<const char *, const char *> cases[] = {
      {"click 1\n\nclick \"Ad Layer\"\n", "s.txt: line 3: unknown control \"Ad Layer\""},
      {"click 7\n", "s.txt: line 1: no control 7: the panel has 7 controls (0 to 6)"},
      {"click \"\"\n", "s.txt: line 1: \"\" names controls 5, 6: name one by its number"},
      {"select 1 0\n",
       "s.txt: line 1: select needs a list box; control 1 \"Add Layer\" is a ButtonControl"},
      {"set 1 1\n", "s.txt: line 1: control 1 \"Add Layer\" (ButtonControl) holds no value to "
                    "set; click it instead"},
      {"set 6 1\n",
       "s.txt: line 1: control 6 (AreaControl) holds no value to set; click it instead"},
      {"set \"Active\" 2\n", "s.txt: line 1: control 2 \"Active\" (BoolControl) takes 0 or 1"},
      {"set \"Mode\" 3\n",
       "s.txt: line 1: control 3 \"Mode\" (PopupControl) takes an item index from 0 to 2"},
      {"set \"Mode\" 1.5\n",
       "s.txt: line 1: control 3 \"Mode\" (PopupControl) takes an item index from 0 to 2"},
      {"set 0 1 2 3\n", "s.txt: line 1: control 0 \"BufferList\" (ListBoxControl) takes one "
                        "whole number, a row"},
      {"set \"Intensity\" 1 2 3\n",
       "s.txt: line 1: control 4 \"Intensity\" (PercentControl) takes one number"},
      {"set 5 7\n",
       "s.txt: line 1: control 5 (MiniRGBControl) takes three whole numbers from 0 to 255"},
      {"set 5 1 2 256\n", "s.txt: line 1: control 5 (MiniRGBControl) takes three whole numbers "
                          "from 0 to 255, not 256"},
      {"pointer 5 2147483647\n",
       "s.txt: line 1: x position 2147483647 is outside control 5, which is 96 "
       "pixels wide (0 to 95; force pointer puts it anywhere)"},
      {"pointer 5 -1\n", "s.txt: line 1: x position -1 is outside control 5, "
                         "which is 96 pixels wide (0 to 95; force pointer puts it anywhere)"},
      {"force pointer 5 2147483648\n", "s.txt: line 1: x position 2147483648 is out of range"},
  };
  for (const auto &[text, expected] : cases) {
    EXPECT_EQ(bindError(text, panel), expected) << "script: " << text;
  }
  EXPECT_EQ(bindError("set \"Intensity\" 50\nset 5 0 128 255\nset 0 -1\n", panel), "(no error)")
      << "a whole number is a fine percentage, and a list may be set to no row";
  EXPECT_EQ(bindError("pointer 5 0\npointer 5 95\nforce pointer 5 -2147483648\n", panel),
            "(no error)")
      << "a pointer over the control, or anywhere when forced";
}

// Opens the panel through the services with `script` as the session.
std::string playSession(qx::Host &host, HostPanelID panel, const std::string &script,
                        qx::PanelSession::Outputs outputs = {}) {
  qx::PanelSession session(host, PanelScript::parse(script, "s.txt"), nullptr, outputs);
  host.panels().setOpenHandler([&session](qx::Panel &p) { session.run(p); });
  host.panels().record()->open(panel, HOST_PANF_BLOCKING);
  host.panels().setOpenHandler(nullptr);
  try {
    host.panels().rethrowSessionError();
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

TEST(PanelSessions, EventsSetTheValueBeforeTheHandlerRunsAndSeeTheLastPointer) {
  qx::Host host(qx::Scene{}, quiet());
  Seen seen;
  HostPanelID id = makePanel(host.panels().record(), seen);
  EXPECT_EQ(playSession(host, id,
                        "select 0 3\n"
                        "pointer 4 17\n"
                        "set \"Intensity\" 42.5\n"
                        "click \"Add Layer\"\n"),
            "(no error)");
  EXPECT_EQ(seen.events, 3);
  EXPECT_EQ(seen.controls, (std::vector<int>{0, 4, 1}));
  EXPECT_EQ(seen.lastFloat, 42.5) << "the percent control's handler read its new value";
  qx::Panel &panel = *host.panels().lastPanel();
  EXPECT_EQ(panel.control(0).value().intv.value, 3) << "select 0 3 left row 3 selected";
  EXPECT_EQ(panel.control(4).pointerX(), 17);
}

TEST(PanelSessions, AnUnboundScriptFiresNoEventAndWritesNothing) {
  qx::Host host(qx::Scene{}, quiet());
  Seen seen;
  HostPanelID id = makePanel(host.panels().record(), seen);
  const std::string dump = testing::TempDir() + "panel_script_test_unbound.json";
  std::remove(dump.c_str());
  EXPECT_EQ(playSession(host, id, "click 1\ndump " + dump + "\nclick \"Ad Layer\"\n", {dump, ""}),
            "s.txt: line 3: unknown control \"Ad Layer\"");
  EXPECT_EQ(seen.events, 0) << "line 1 fired although line 3 names no control";
  EXPECT_FALSE(std::ifstream(dump).good()) << "a dump was written by a session that never ran";
  EXPECT_FALSE(host.panels().lastPanel()->isOpen()) << "the panel stayed open";
}

TEST(PanelSessions, CloseFromTheScriptOrFromAHandlerEndsTheSession) {
  qx::Host host(qx::Scene{}, quiet());
  Seen seen;
  HostPanelID id = makePanel(host.panels().record(), seen, closeOnEvent);
  seen.closeOn = host.panels().lastPanel()->control(2).handle();
  EXPECT_EQ(playSession(host, id, "click 1\nclose\n"), "(no error)");
  EXPECT_EQ(seen.events, 1) << "close ends the script";
  EXPECT_EQ(playSession(host, id, "click 1\nset 2 1\nclick 1\nclick 1\n"), "(no error)");
  EXPECT_EQ(seen.events, 3) << "the handler of control 2 closed the panel after its event";
}

TEST(PanelSessions, PickerAnswersStandUntilChangedAndNoneWithdrawsThePicker) {
  qx::Host host(qx::Scene{}, quiet());
  Seen seen;
  HostPanelID id = makePanel(host.panels().record(), seen);
  EXPECT_EQ(playSession(host, id, "picker none\n"), "(no error)");
  EXPECT_EQ(qx::ServiceRegistry::lookupFunction()(HOST_COLOR_PICKER, 0), nullptr)
      << "picker none left the picker in place";

  EXPECT_EQ(playSession(host, id, "picker accept 1 0.5 0\n"), "(no error)");
  auto *pick = reinterpret_cast<HostColorPickFunc *>(
      qx::ServiceRegistry::lookupFunction()(HOST_COLOR_PICKER, 0));
  ASSERT_NE(pick, nullptr) << "picker accept did not bring the picker back";
  HostColorPickRequest request{};
  request.title = "Light Color";
  request.red = request.green = request.blue = 0.25f;
  for (int i = 0; i < 2; ++i) {
    request.result = -5;
    EXPECT_EQ(pick(HOST_COLOR_PICK_VERSION, &request), 0);
    EXPECT_GT(request.result, 0) << "request " << i + 1 << " was not accepted";
    EXPECT_EQ(request.red, 1.0f);
    EXPECT_EQ(request.green, 0.5f);
    EXPECT_EQ(request.blue, 0.0f);
  }
  EXPECT_EQ(playSession(host, id, "picker cancel\n"), "(no error)");
  request.red = 0.25f;
  EXPECT_EQ(pick(HOST_COLOR_PICK_VERSION, &request), 0);
  EXPECT_EQ(request.result, 0) << "a cancelled picker reported acceptance";
  EXPECT_EQ(request.red, 0.25f) << "a cancelled picker changed the colour";
  ASSERT_EQ(host.picker().requests().size(), 3u);
  EXPECT_EQ(host.picker().requests()[0].title, "Light Color");
}

TEST(PanelSessions, APickerTheHostRunsWithoutStaysAwayWhateverTheScriptSays) {
  qx::Host::Options options = quiet();
  options.withdraw = {HOST_COLOR_PICKER};
  qx::Host host(qx::Scene{}, options);
  Seen seen;
  HostPanelID id = makePanel(host.panels().record(), seen);
  EXPECT_EQ(playSession(host, id, "picker accept 1 1 1\n"), "(no error)");
  EXPECT_EQ(qx::ServiceRegistry::lookupFunction()(HOST_COLOR_PICKER, 0), nullptr);
}

} // namespace
