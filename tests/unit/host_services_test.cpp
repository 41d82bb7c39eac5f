// The host's services as the module reaches them: by name, through the one
// lookup function.
#include <gtest/gtest.h>

#include <string>

#include "stand_in/stand_in_host.h"

namespace {

void *lookup(const char *name) { return qx::ServiceRegistry::lookupFunction()(name, 0); }

const HostSurfaceFuncs *surfaceFuncs(const char *name = HOST_SURFACE_FUNCS) {
  return static_cast<const HostSurfaceFuncs *>(lookup(name));
}

qx::Scene threeSurfaces() {
  qx::Scene scene;
  scene.surfaces.push_back({"Skin", 2.0, std::array<double, 3>{1.0, 0.8, 0.7}});
  scene.surfaces.push_back({"Cloth", 1.0, std::array<double, 3>{0.0, 0.0, 1.0}});
  scene.surfaces.push_back({"Floor", std::nullopt, std::nullopt});
  return scene;
}

qx::Host::Options quiet() {
  qx::Host::Options options;
  options.echoMessages = false;
  return options;
}

TEST(SurfaceService, WalksTheScenesSurfacesInFileOrderWithTheirParameters) {
  qx::Host host(threeSurfaces(), quiet());
  const HostSurfaceFuncs *surf = surfaceFuncs();
  ASSERT_NE(surf, nullptr) << "\"Surface Functions 2\" is not provided";
  EXPECT_EQ(lookup(HOST_SURFACE_FUNCS_1), surf) << "the older name serves the same surfaces";

  std::vector<std::string> names;
  std::vector<double> values;
  for (HostSurfaceID s = surf->first(); s != nullptr; s = surf->next(s)) {
    names.emplace_back(surf->name(s));
    const double *value = surf->getFlt(s, "SpecialBuffer1");
    values.push_back(value != nullptr ? *value : -1.0);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Skin", "Cloth", "Floor"}));
  EXPECT_EQ(values, (std::vector<double>{2.0, 1.0, -1.0})) << "-1 stands for no parameter";

  HostSurfaceID skin = surf->first();
  const double *color = surf->getFlt(skin, "BaseColor");
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(color[0], 1.0);
  EXPECT_EQ(color[1], 0.8);
  EXPECT_EQ(color[2], 0.7);
  EXPECT_EQ(surf->getFlt(skin, "Luminosity"), nullptr) << "an unknown attribute gave a value";
  HostSurfaceID floor = surf->next(surf->next(skin));
  EXPECT_EQ(surf->getFlt(floor, "BaseColor"), nullptr) << "Floor has no BaseColor";
}

TEST(SurfaceService, AnswersNullForForeignIDsAndAnEmptyScene) {
  qx::Host host(qx::Scene{}, quiet());
  const HostSurfaceFuncs *surf = surfaceFuncs();
  ASSERT_NE(surf, nullptr);
  EXPECT_EQ(surf->first(), nullptr) << "a scene without surfaces has a first surface";
  int notOurs = 0;
  EXPECT_EQ(surf->next(&notOurs), nullptr);
  EXPECT_EQ(surf->name(&notOurs), nullptr);
  EXPECT_EQ(surf->getFlt(&notOurs, "SpecialBuffer1"), nullptr);
}

TEST(SurfaceService, ANewSceneReplacesTheSurfacesServed) {
  qx::Host host(threeSurfaces(), quiet());
  qx::Scene one;
  one.surfaces.push_back({"Glass", 9.0, std::nullopt});
  host.setScene(one);
  const HostSurfaceFuncs *surf = surfaceFuncs();
  HostSurfaceID s = surf->first();
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(surf->name(s), "Glass");
  EXPECT_EQ(surf->next(s), nullptr) << "the old scene's surfaces are still walked";
}

TEST(HostServices, WithdrawnServicesAreMissingByNameOnly) {
  qx::Host::Options options = quiet();
  options.withdraw = {HOST_SURFACE_FUNCS};
  qx::Host host(threeSurfaces(), options);
  EXPECT_EQ(lookup(HOST_SURFACE_FUNCS), nullptr) << "a withdrawn service was found";
  ASSERT_NE(surfaceFuncs(HOST_SURFACE_FUNCS_1), nullptr) << "the older name went too";
  EXPECT_STREQ(
      surfaceFuncs(HOST_SURFACE_FUNCS_1)->name(surfaceFuncs(HOST_SURFACE_FUNCS_1)->first()),
      "Skin");
  EXPECT_NE(lookup(HOST_MESSAGE_FUNCS), nullptr);

  int panel = 0;
  host.provide("Panel Service For Test", &panel);
  EXPECT_EQ(lookup("Panel Service For Test"), &panel);
  host.withdraw("Panel Service For Test");
  EXPECT_FALSE(host.provides("Panel Service For Test"));
}

TEST(HostServices, ProvideHonoursTheWithdrawOption) {
  qx::Host::Options options = quiet();
  options.withdraw = {HOST_FILE_REQUEST};
  qx::Host host(qx::Scene{}, options);
  int requester = 0;
  host.provide(HOST_FILE_REQUEST, &requester);
  EXPECT_EQ(lookup(HOST_FILE_REQUEST), nullptr) << "a service the options leave out was provided";
}

TEST(MessageService, KeepsEveryMessageWithItsKindAndDetail) {
  qx::Host host(qx::Scene{}, quiet());
  const HostMessageFuncs *messages =
      static_cast<const HostMessageFuncs *>(lookup(HOST_MESSAGE_FUNCS));
  ASSERT_NE(messages, nullptr);
  messages->info("first", nullptr);
  messages->error("second", "more");
  messages->warning("third", nullptr);

  const auto kept = host.messages().messages();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].kind, qx::MessageService::Kind::Info);
  EXPECT_EQ(kept[0].text, "first");
  EXPECT_EQ(kept[0].detail, "");
  EXPECT_EQ(kept[1].kind, qx::MessageService::Kind::Error);
  EXPECT_EQ(kept[1].detail, "more");
  EXPECT_EQ(kept[2].kind, qx::MessageService::Kind::Warning);
  EXPECT_EQ(kept[2].text, "third");
}

TEST(MessageService, EchoesEachMessageToStderr) {
  qx::Host host;
  const HostMessageFuncs *messages =
      static_cast<const HostMessageFuncs *>(lookup(HOST_MESSAGE_FUNCS));
  testing::internal::CaptureStderr();
  messages->info("Quintessalux Error...", "second line");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "qxhost: message: Quintessalux Error...\nqxhost: message: second line\n");
}

TEST(ServiceRegistry, TheNewestLiveRegistryAnswersWhicheverEndsFirst) {
  qx::ServiceRegistry *before = qx::ServiceRegistry::current();
  auto older = std::make_unique<qx::Host>(qx::Scene{}, quiet());
  {
    auto newer = std::make_unique<qx::Host>(qx::Scene{}, quiet());
    EXPECT_EQ(lookup(HOST_MESSAGE_FUNCS), newer->messages().record());
    // The older host ends first: the newer one must keep answering, and the
    // older one must leave no link behind for when the newer one ends.
    older.reset();
    EXPECT_EQ(lookup(HOST_MESSAGE_FUNCS), newer->messages().record());
  }
  EXPECT_EQ(qx::ServiceRegistry::current(), before)
      << "after both hosts ended, the registry current before them should answer again";
}

} // namespace
