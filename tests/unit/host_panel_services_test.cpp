// The host's panel services, colour picker and file requester as a module
// reaches them, and the dump and picture made of a panel.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "scripts/panel_dump.h"
#include "stand_in/stand_in_host.h"

namespace {

qx::Host::Options quiet() {
  qx::Host::Options options;
  options.echoMessages = false;
  return options;
}

HostPanelFuncs *panelFuncs() {
  return static_cast<HostPanelFuncs *>(
      qx::ServiceRegistry::lookupFunction()(HOST_PANEL_SERVICES, 0));
}

void setInt(HostControl *control, int tag, intptr_t value) {
  HostValue holder{};
  holder.intv.type = HOST_VALUE_INT;
  holder.intv.value = value;
  control->set(control, tag, &holder);
}

int getInt(HostControl *control, int tag) {
  HostValue holder{};
  control->get(control, tag, &holder);
  EXPECT_EQ(holder.type, HOST_VALUE_INT) << "tag " << tag << " did not answer an integer";
  return static_cast<int>(holder.intv.value);
}

HostControl *add(HostPanelFuncs *funcs, HostPanelID panel, const char *kind, HostCtlDesc desc,
                 const char *label, int x, int y) {
  HostControl *control = funcs->addControl(panel, kind, &desc, label);
  if (control != nullptr) {
    setInt(control, HOST_CTL_X, x);
    setInt(control, HOST_CTL_Y, y);
  }
  return control;
}

HostCtlDesc buttonDesc(int width) {
  HostCtlDesc desc{};
  desc.area = {HOST_DESC_AREA, width, 0};
  return desc;
}

HostCtlDesc areaDesc(int width, int height) {
  HostCtlDesc desc{};
  desc.area = {HOST_DESC_AREA, width, height};
  return desc;
}

HostCtlDesc tagOnly(int type) {
  HostCtlDesc desc{};
  desc.type = type;
  return desc;
}

int threeRows(void *data) { return data == reinterpret_cast<void *>(0x5eed) ? 3 : -1; }
const char *rowText(void *, int row) {
  static const char *const texts[] = {"* \x81\x9B Add", "- \x81\x9C Sub", " "};
  return row >= 0 && row < 3 ? texts[row] : "?";
}

TEST(PanelControls, AnswerTheirPositionSizeAndDrawingRegionByKind) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  ASSERT_NE(funcs, nullptr) << "\"LWPanelServices\" is not provided";
  HostPanelID panel = funcs->create("T", funcs);

  HostCtlDesc list{};
  list.list = {HOST_DESC_LIST, 80, 11, threeRows, rowText};
  HostCtlDesc popup{};
  const char *items[] = {"Ball", "Cel-Look Ball", nullptr};
  popup.choice = {HOST_DESC_CHOICE, items, 96};
  HostCtlDesc range{};
  range.range = {HOST_DESC_RANGE, 0, 100};

  struct Expect {
    HostControl *control;
    int x, y, width, height;
  };
  const Expect cases[] = {
      // a list is as tall as its visible rows
      {add(funcs, panel, HOST_KIND_LISTBOX, list, "BufferList", 5, 30), 5, 30, 80, 11 * 15},
      {add(funcs, panel, HOST_KIND_BUTTON, buttonDesc(56), "Paste", 424, 2), 424, 2, 56, 20},
      {add(funcs, panel, HOST_KIND_BOOL, tagOnly(HOST_DESC_BOOL), "Active", 5, 2), 5, 2, 20, 20},
      {add(funcs, panel, HOST_KIND_POPUP, popup, "", 0, 292), 0, 292, 96, 20},
      {add(funcs, panel, HOST_KIND_PERCENT, range, "Intensity", 224, 88), 224, 88, 128, 20},
      {add(funcs, panel, HOST_KIND_MINIRGB, tagOnly(HOST_DESC_IVEC), "", 256, 60), 256, 60, 96, 20},
      // an area's frame goes round its drawing region
      {add(funcs, panel, HOST_KIND_AREA, areaDesc(96, 80), "", 5, 208), 5, 208, 100, 84},
  };
  for (const Expect &c : cases) {
    ASSERT_NE(c.control, nullptr);
    const std::string who = qx::PanelControl::from(c.control)->label() + " (" +
                            qx::controlKindName(qx::PanelControl::from(c.control)->kind()) + ")";
    EXPECT_EQ(getInt(c.control, HOST_CTL_X), c.x) << who;
    EXPECT_EQ(getInt(c.control, HOST_CTL_Y), c.y) << who;
    EXPECT_EQ(getInt(c.control, HOST_CTL_W), c.width) << who;
    EXPECT_EQ(getInt(c.control, HOST_CTL_H), c.height) << who;
    EXPECT_EQ(getInt(c.control, HOST_CTL_HOTX), c.x + 2) << who << ": drawing region x";
    EXPECT_EQ(getInt(c.control, HOST_CTL_HOTY), c.y + 2) << who << ": drawing region y";
  }

  // The popup keeps its own copy of the items.
  items[0] = "changed";
  const qx::PanelControl &kept = *qx::PanelControl::from(cases[3].control);
  EXPECT_EQ(kept.items(), (std::vector<std::string>{"Ball", "Cel-Look Ball"}));
  EXPECT_STREQ(kept.desc().choice.items[0], "Ball");
  EXPECT_EQ(kept.desc().choice.items[2], nullptr) << "the copied item list ends with null";

  // A list's rows come from its callbacks, with its user data.
  HostControl *listControl = cases[0].control;
  setInt(listControl, HOST_CTL_USERDATA, 0x5eed);
  EXPECT_EQ(qx::PanelControl::from(listControl)->rows(),
            (std::vector<std::string>{"* \x81\x9B Add", "- \x81\x9C Sub", " "}));
}

TEST(PanelControls, RefuseUnknownKindsAndParametersOfAnotherKind) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  HostPanelID panel = funcs->create("T", funcs);
  HostCtlDesc desc = buttonDesc(20);
  EXPECT_EQ(funcs->addControl(panel, "SliderControl", &desc, "x"), nullptr);
  EXPECT_EQ(funcs->addControl(panel, HOST_KIND_LISTBOX, &desc, "x"), nullptr)
      << "a list box was made from a button's parameters";
  EXPECT_EQ(funcs->addControl(panel, HOST_KIND_BUTTON, nullptr, "x"), nullptr);
  EXPECT_EQ(host.panels().lastPanel()->controlCount(), 0u);
}

TEST(PanelControls, ValuesTravelInTheHolderOfTheirKind) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  HostPanelID panel = funcs->create("T", funcs);
  HostCtlDesc list{};
  list.list = {HOST_DESC_LIST, 80, 3, nullptr, nullptr};
  HostControl *rows = add(funcs, panel, HOST_KIND_LISTBOX, list, "L", 0, 0);
  HostCtlDesc range{};
  range.range = {HOST_DESC_RANGE, 0, 100};
  HostControl *percent = add(funcs, panel, HOST_KIND_PERCENT, range, "P", 0, 0);
  HostControl *swatch = add(funcs, panel, HOST_KIND_MINIRGB, tagOnly(HOST_DESC_IVEC), "", 0, 0);
  HostControl *box = add(funcs, panel, HOST_KIND_BOOL, tagOnly(HOST_DESC_BOOL), "B", 0, 0);

  EXPECT_EQ(getInt(rows, HOST_CTL_VALUE), -1) << "a new list has no row selected";

  setInt(percent, HOST_CTL_VALUE, 50);
  HostValue value{};
  percent->get(percent, HOST_CTL_VALUE, &value);
  EXPECT_EQ(value.type, HOST_VALUE_FLOAT) << "a percent control answers a double";
  EXPECT_EQ(value.flt.value, 50.0);

  HostValue holder{};
  holder.flt = {HOST_VALUE_FLOAT, 1.75};
  box->set(box, HOST_CTL_VALUE, &holder);
  EXPECT_EQ(getInt(box, HOST_CTL_VALUE), 1) << "a double set on a check box is cut to 1";

  holder.ivec = {HOST_VALUE_IVEC, {255, 127, 0}};
  swatch->set(swatch, HOST_CTL_VALUE, &holder);
  box->set(box, HOST_CTL_VALUE, &holder); // no integer in it: ignored
  EXPECT_EQ(getInt(box, HOST_CTL_VALUE), 1) << "three integers changed a check box";
  value = HostValue{};
  swatch->get(swatch, HOST_CTL_VALUE, &value);
  EXPECT_EQ(value.type, HOST_VALUE_IVEC);
  EXPECT_EQ(value.ivec.value[0], 255);
  EXPECT_EQ(value.ivec.value[1], 127);
  EXPECT_EQ(value.ivec.value[2], 0);

  // The region and the size are the host's to say.
  setInt(box, HOST_CTL_W, 500);
  setInt(box, HOST_CTL_HOTX, 500);
  EXPECT_EQ(getInt(box, HOST_CTL_W), 20);
  EXPECT_EQ(getInt(box, HOST_CTL_HOTX), 2);
}

TEST(PanelControls, DrawModesSetTheStateAndARefreshKeepsIt) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  HostPanelID panel = funcs->create("T", funcs);
  HostControl *c = add(funcs, panel, HOST_KIND_BUTTON, buttonDesc(20), "b", 0, 0);
  const qx::PanelControl &control = *qx::PanelControl::from(c);
  EXPECT_EQ(control.state(), qx::ControlState::Normal);
  c->draw(c, HOST_DRAW_REFRESH);
  EXPECT_EQ(control.state(), qx::ControlState::Normal) << "a refresh of a control never drawn";
  const std::pair<int, qx::ControlState> steps[] = {
      {HOST_DRAW_ERASE, qx::ControlState::Erased},  {HOST_DRAW_REFRESH, qx::ControlState::Erased},
      {HOST_DRAW_GHOST, qx::ControlState::Ghosted}, {HOST_DRAW_REFRESH, qx::ControlState::Ghosted},
      {HOST_DRAW_RENDER, qx::ControlState::Live},   {HOST_DRAW_REFRESH, qx::ControlState::Live},
  };
  for (const auto &[mode, state] : steps) {
    c->draw(c, mode);
    EXPECT_EQ(control.state(), state)
        << "after draw mode " << mode << ": " << qx::controlStateName(control.state());
    EXPECT_EQ(control.lastDrawMode(), mode);
  }
}

TEST(Panels, GrowToHoldTheirControlsButNeverShrinkBelowTheSizeSet) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  HostPanelID panel = funcs->create("Quintessalux ver. 1.9", funcs);
  int width = 384, height = 348;
  funcs->set(panel, HOST_PAN_W, &width);
  funcs->set(panel, HOST_PAN_H, &height);
  int got = 0;
  funcs->get(panel, HOST_PAN_W, &got);
  EXPECT_EQ(got, 384) << "a panel without controls";

  add(funcs, panel, HOST_KIND_BUTTON, buttonDesc(56), "Paste", 424, 2); // ends at x 480
  funcs->get(panel, HOST_PAN_W, &got);
  EXPECT_EQ(got, 480 + 20) << "the rightmost control and the margin";
  funcs->get(panel, HOST_PAN_H, &got);
  EXPECT_EQ(got, 348) << "the controls fit the height set";

  add(funcs, panel, HOST_KIND_AREA, areaDesc(96, 80), "", 5, 300); // ends at y 384
  funcs->get(panel, HOST_PAN_H, &got);
  EXPECT_EQ(got, 384 + 20);
  const qx::Panel &p = *host.panels().lastPanel();
  EXPECT_EQ(p.requestedWidth(), 384);
  EXPECT_EQ(p.requestedHeight(), 348);
}

TEST(Panels, ReportAFullHdDisplayWithoutAnyContext) {
  qx::Host host(qx::Scene{}, quiet());
  const HostDisplayMetrics *display = panelFuncs()->drawFuncs->dispMetrics();
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(display->width, 1920);
  EXPECT_EQ(display->height, 1080);
}

struct OpenLog {
  int draws = 0;
};
void countDraw(HostPanelID, void *data) { ++static_cast<OpenLog *>(data)->draws; }

TEST(Panels, ABlockingOpenDrawsOnceRunsTheSessionAndKeepsWhatItThrew) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  HostPanelID panel = funcs->create("T", funcs);
  OpenLog log;
  funcs->set(panel, HOST_PAN_DRAWFUNC, reinterpret_cast<void *>(countDraw));
  funcs->set(panel, HOST_PAN_USERDATA, &log);

  int sessions = 0;
  bool openDuringSession = false;
  host.panels().setOpenHandler([&](qx::Panel &p) {
    ++sessions;
    openDuringSession = p.isOpen();
    EXPECT_EQ(log.draws, 1) << "the panel was not drawn before the session";
    throw qx::Error("line 3: unknown control");
  });
  EXPECT_EQ(funcs->open(panel, HOST_PANF_BLOCKING), 1);
  EXPECT_EQ(sessions, 1);
  EXPECT_TRUE(openDuringSession);
  EXPECT_FALSE(host.panels().lastPanel()->isOpen()) << "a blocking open returned still open";
  EXPECT_THROW(host.panels().rethrowSessionError(), qx::Error);
  EXPECT_NO_THROW(host.panels().rethrowSessionError()) << "the error was thrown twice";

  EXPECT_EQ(funcs->open(panel, 0), 1);
  EXPECT_EQ(sessions, 1) << "an open that does not block ran the session";
  EXPECT_EQ(log.draws, 2);

  funcs->destroy(panel);
  EXPECT_EQ(host.panels().panelCount(), 0u);
  EXPECT_EQ(funcs->open(panel, HOST_PANF_BLOCKING), 0) << "a destroyed panel opened";
  funcs->drawFuncs->drawRGBPixel(panel, 1, 2, 3, 0, 0); // ignored, not a crash
}

TEST(PanelCanvas, ClipsToThePanelAndHoldsChannelsToBytes) {
  qx::PanelCanvas canvas;
  canvas.resize(10, 8);
  canvas.pixel(300, -4, 128, 0, 0);
  canvas.pixel(1, 1, 1, 10, 0); // just outside
  canvas.pixel(1, 1, 1, -1, 3);
  EXPECT_EQ(canvas.at(0, 0), (std::array<std::uint8_t, 3>{255, 0, 128}));
  EXPECT_FALSE(canvas.drawn(9, 0));

  canvas.box(9, 9, 9, 7, 6, 100, 100); // runs off the bottom right corner
  int drawn = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) drawn += canvas.drawn(x, y) ? 1 : 0;
  EXPECT_EQ(drawn, 1 + 3 * 2) << "the pixel plus the 3 by 2 corner of the box";

  canvas.resize(10, 8);
  canvas.border(0, 2, 0, 0, 5);  // vertical line, 5 long
  canvas.border(0, 2, 6, 50, 0); // horizontal line, clipped at the right
  for (int y = 0; y < 8; ++y) {
    const bool onLine = y < 5 || y == 6;
    EXPECT_EQ(canvas.drawn(2, y), onLine) << "x 2, y " << y;
  }
  EXPECT_TRUE(canvas.drawn(9, 6));
  EXPECT_FALSE(canvas.drawn(1, 6)) << "the line starts at x 2";
  EXPECT_EQ(canvas.at(2, 0)[0], qx::PanelCanvas::kBorderShade);

  canvas.resize(10, 8);
  canvas.border(1, 0, 0, 4, 3); // a sunken frame: dark top and left, light bottom and right
  EXPECT_EQ(canvas.at(1, 0)[0], qx::PanelCanvas::kBorderShade);
  EXPECT_EQ(canvas.at(0, 1)[0], qx::PanelCanvas::kBorderShade);
  EXPECT_EQ(canvas.at(1, 2)[0], qx::PanelCanvas::kBorderLight);
  EXPECT_EQ(canvas.at(3, 1)[0], qx::PanelCanvas::kBorderLight);
  EXPECT_FALSE(canvas.drawn(1, 1)) << "the inside of a frame";
}

TEST(PanelPicture, OutlinesLiveAndGhostedControlsUnderTheModulesDrawing) {
  qx::Host host(qx::Scene{}, quiet());
  HostPanelFuncs *funcs = panelFuncs();
  HostPanelID panel = funcs->create("T", funcs);
  HostControl *live = add(funcs, panel, HOST_KIND_BUTTON, buttonDesc(10), "a", 0, 0);
  HostControl *ghosted = add(funcs, panel, HOST_KIND_BUTTON, buttonDesc(10), "b", 20, 0);
  HostControl *erased = add(funcs, panel, HOST_KIND_BUTTON, buttonDesc(10), "c", 40, 0);
  ghosted->draw(ghosted, HOST_DRAW_GHOST);
  erased->draw(erased, HOST_DRAW_ERASE);
  (void)live;
  funcs->open(panel, 0);
  funcs->drawFuncs->drawRGBPixel(panel, 10, 20, 30, 0, 0); // on the live outline

  const qx::Panel &p = *host.panels().lastPanel();
  const std::vector<std::uint8_t> rgb = qx::panelPicture(p);
  const int width = p.width();
  ASSERT_EQ(width, 70) << "the last control ends at x 50, plus the margin";
  ASSERT_EQ(rgb.size(), static_cast<std::size_t>(width * p.height() * 3));
  auto red = [&](int x, int y) { return rgb[static_cast<std::size_t>((y * width + x) * 3)]; };
  EXPECT_EQ(red(0, 0), 10) << "the module's pixel stands over the outline";
  EXPECT_EQ(red(5, 0), qx::kOutlineShade) << "top edge of the live button";
  EXPECT_EQ(red(9, 19), qx::kOutlineShade) << "bottom right corner of the live button";
  EXPECT_EQ(red(5, 5), qx::kPictureBackground) << "inside the live button";
  EXPECT_EQ(red(25, 0), qx::kGhostedOutlineShade) << "the ghosted button";
  EXPECT_EQ(red(45, 0), qx::kPictureBackground) << "an erased button has no outline";
}

TEST(PanelDump, RowsAreReadAsShiftJis) {
  EXPECT_EQ(qx::shiftJisToUtf8(" *       2.00"), " *       2.00");
  EXPECT_EQ(qx::shiftJisToUtf8("* \x81\x9B Add"), "* \xE2\x97\x8B Add") << "○";
  EXPECT_EQ(qx::shiftJisToUtf8("- \x81\x9C Sub"), "- \xE2\x97\x8F Sub") << "●";
  EXPECT_EQ(qx::shiftJisToUtf8("* \x81\x9D Hue"), "* \xE2\x97\x8E Hue") << "◎";
  EXPECT_EQ(qx::shiftJisToUtf8("\x82\xA0x"), "\xEF\xBF\xBDx") << "another pair is one U+FFFD";
  EXPECT_EQ(qx::shiftJisToUtf8("\xB1"), "\xEF\xBF\xBD") << "a half-width kana";
  EXPECT_EQ(qx::shiftJisToUtf8("a\x81"), "a\xEF\xBF\xBD") << "a pair cut short";
  EXPECT_EQ(qx::shiftJisToUtf8("\x81 "), "\xEF\xBF\xBD ") << "a lead byte before a space";
}

TEST(FileRequester, AnswersFromTheStartDirectoryAndRefusesWhatDoesNotFit) {
  qx::Host host(qx::Scene{}, quiet());
  host.files().setContentDirectory("/scenes/content");
  auto *request = reinterpret_cast<HostFileRequestFunc *>(
      qx::ServiceRegistry::lookupFunction()(HOST_FILE_REQUEST, 0));
  auto *directory = reinterpret_cast<HostDirectoryFunc *>(
      qx::ServiceRegistry::lookupFunction()(HOST_DIRECTORY_INFO, 0));
  ASSERT_NE(request, nullptr);
  ASSERT_NE(directory, nullptr);
  EXPECT_STREQ(directory("Content"), "/scenes/content");
  EXPECT_EQ(directory("Images"), nullptr);

  char base[260] = ">*.QXD", path[260] = "/scenes/content", full[260] = "";
  EXPECT_EQ(request("Export LayerSet", base, path, full, 260), 0) << "the first answer is cancel";
  EXPECT_STREQ(full, "") << "a cancelled request wrote a name";

  host.files().answerWith("sets/../sets/warm.QXD");
  EXPECT_EQ(request("Export LayerSet", base, path, full, 260), 1);
  EXPECT_STREQ(full, "/scenes/content/sets/warm.QXD");
  EXPECT_STREQ(path, "/scenes/content/sets") << "the requester leaves its directory in path";
  EXPECT_STREQ(base, "warm.QXD");

  host.files().answerWith("/abs/cold.QXD");
  char small[8] = "";
  EXPECT_EQ(request("Import LayerSet", base, path, small, 8), 0)
      << "a name longer than the buffer was given";
  EXPECT_STREQ(small, "");

  ASSERT_EQ(host.files().requests().size(), 3u);
  EXPECT_EQ(host.files().requests()[1].baseName, ">*.QXD") << "the pattern the module gave";
  EXPECT_EQ(host.files().requests()[1].fullName, "/scenes/content/sets/warm.QXD");
  EXPECT_EQ(host.files().requests()[2].title, "Import LayerSet");
}

void noteTry(void *data, float red, float, float) { *static_cast<float *>(data) = red; }

TEST(ColorPicker, RefusesOtherVersionsAndShowsTheAcceptedColourFirst) {
  qx::Host host(qx::Scene{}, quiet());
  auto *pick = reinterpret_cast<HostColorPickFunc *>(
      qx::ServiceRegistry::lookupFunction()(HOST_COLOR_PICKER, 0));
  ASSERT_NE(pick, nullptr);
  host.picker().acceptWith(0.25f, 0.5f, 0.75f);
  float tried = -1.0f;
  HostColorPickRequest request{};
  request.title = "Preview BaseColor";
  request.data = &tried;
  request.hotFunc = noteTry;
  request.result = -3;
  EXPECT_NE(pick(3, &request), 0) << "a version 3 request completed";
  EXPECT_EQ(request.result, -3) << "a request of another version was written";
  EXPECT_EQ(pick(HOST_COLOR_PICK_VERSION, &request), 0);
  EXPECT_EQ(request.result, 1);
  EXPECT_EQ(request.blue, 0.75f);
  EXPECT_EQ(tried, 0.25f) << "the try callback did not see the colour";
}

} // namespace
