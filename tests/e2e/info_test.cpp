// Loading the built module through the stand-in host, and the qxhost info
// command run as a user runs it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "stand_in/stand_in_host.h"

#include "qxhost_run.h"

namespace {

using namespace e2e;

std::shared_ptr<const qx::ModuleLibrary> loadModule() {
  return std::make_shared<const qx::ModuleLibrary>(QX_MODULE_PATH);
}

// The error text of `action`, or "(no error)".
template <class Action> std::string errorOf(Action action) {
  try {
    action();
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

std::string tempFile(const std::string &name, const std::string &text) {
  const std::string path = e2e::tempName("info_test_" + name);
  std::ofstream(path) << text;
  return path;
}

const char kTwoSurfaceScene[] = R"({
  "surfaces": [
    {"name": "Skin", "SpecialBuffer1": 1.0, "BaseColor": [1.0, 0.8, 0.7]},
    {"name": "Cloth", "SpecialBuffer1": 2.0, "BaseColor": [0.2, 0.2, 0.9]}
  ]
})";

TEST(ModuleLoading, TheBuiltModuleCarriesTheHostsFixedWordsAndStarts) {
  const auto module = loadModule();
  EXPECT_EQ(module->descriptor().sync, 0x04121994u);
  EXPECT_EQ(module->descriptor().version, 3u);
  EXPECT_EQ(module->descriptor().machine, 0x300u);
  EXPECT_EQ(module->startupResult(), 4) << "the module's start-up returns 4";
}

TEST(ModuleLoading, ListsBothQuintessaluxServersInTableOrder) {
  const auto module = loadModule();
  ASSERT_EQ(module->servers().size(), 2u);
  EXPECT_EQ(module->servers()[0].className, "PixelFilterHandler");
  EXPECT_EQ(module->servers()[0].name, "Quintessalux");
  EXPECT_EQ(module->servers()[1].className, "PixelFilterInterface");
  EXPECT_EQ(module->servers()[1].name, "Quintessalux");
  EXPECT_NE(module->find("PixelFilterHandler", "Quintessalux"), nullptr);
  EXPECT_EQ(module->find("PixelFilterHandler", "Quintessence"), nullptr);
  EXPECT_EQ(errorOf([&] { module->server("ImageFilterHandler", "Quintessalux"); }),
            std::string(QX_MODULE_PATH) +
                ": no server \"Quintessalux\" of class \"ImageFilterHandler\"");
}

TEST(ModuleLoading, BothServersActivateWithVersionFourAndRefuseThreeAndFive) {
  const auto module = loadModule();
  for (int version : {3, 5}) {
    try {
      qx::PixelFilter filter(module, "Quintessalux", version);
      ADD_FAILURE() << "the filter activated with version " << version;
    } catch (const qx::ActivationError &e) {
      EXPECT_EQ(e.status(), HOST_AFUNC_BADVERSION) << "filter, version " << version;
    }
    try {
      qx::FilterInterface ui(module, "Quintessalux", version);
      ADD_FAILURE() << "the interface activated with version " << version;
    } catch (const qx::ActivationError &e) {
      EXPECT_EQ(e.status(), HOST_AFUNC_BADVERSION) << "interface, version " << version;
    }
  }

  const qx::PixelFilter filter(module, "Quintessalux");
  const HostInstanceFuncs &inst = filter.instanceFuncs();
  EXPECT_EQ(inst.priv, &filter) << "the module changed the host's word";
  EXPECT_TRUE(inst.create && inst.destroy && inst.copy && inst.load && inst.save && inst.descln)
      << "an instance callback was left empty";
  EXPECT_TRUE(filter.itemFuncs().useItems && filter.itemFuncs().changeID);
  EXPECT_TRUE(filter.renderFuncs().init && filter.renderFuncs().cleanup &&
              filter.renderFuncs().newTime);
  EXPECT_TRUE(filter.handler().evaluate && filter.handler().flags);

  const qx::FilterInterface ui(module, "Quintessalux");
  EXPECT_EQ(ui.record().inst, &ui) << "the module changed the host's word";
  EXPECT_NE(ui.record().options, nullptr);
  EXPECT_EQ(ui.record().panel, nullptr);
  EXPECT_EQ(ui.record().command, nullptr);
}

TEST(ModuleLoading, AnInstanceFromASceneDescribesItselfAndAsksForTheSpecialBuffer) {
  qx::Host::Options options;
  options.echoMessages = false;
  qx::Host host(qx::Scene::parse(kTwoSurfaceScene, "scene.json"), options);
  host.loadModule(QX_MODULE_PATH);
  const auto filter = host.makeFilter();
  qx::PixelFilterInstance instance = host.makeInstance(filter);
  EXPECT_EQ(instance.describe(), "Quintessalux");
  // A fresh instance holds no layers, so it needs only the special buffer.
  EXPECT_EQ(instance.flags(), 1u << HOST_BUF_SPECIAL);

  qx::PixelFilterInstance copy = host.makeInstance(filter);
  copy.copyFrom(instance);
  EXPECT_EQ(copy.describe(), "Quintessalux");
}

TEST(ModuleLoading, AnInstanceFromASceneWithStateLoadsItAndSavesItBack) {
  // One entry of value 1 holding one default layer, which is in the
  // "AmbientLight" mode.
  const std::vector<std::string> state = {"-3 1 1", "1.000000 1 ",
                                          "0 1 255 255 255 100.000000 0 0 0 0 100.000000 0"};
  qx::Scene scene = qx::Scene::parse(kTwoSurfaceScene, "scene.json");
  scene.filterState = state;
  qx::Host::Options options;
  options.echoMessages = false;
  qx::Host host(scene, options);
  host.loadModule(QX_MODULE_PATH);
  qx::PixelFilterInstance instance = host.makeInstance(host.makeFilter());
  EXPECT_EQ(instance.save(), state) << "the stored state did not come back as it went in";
  // The special buffer, and for "AmbientLight" the luminous, diffuse,
  // transparency, surface colour and specular-shade buffers.
  const unsigned expected = (1u << HOST_BUF_SPECIAL) | (1u << HOST_BUF_LUMINOUS) |
                            (1u << HOST_BUF_DIFFUSE) | (1u << HOST_BUF_TRANSPARENCY) |
                            (1u << HOST_BUF_SURF_RED) | (1u << HOST_BUF_SURF_GREEN) |
                            (1u << HOST_BUF_SURF_BLUE) | (1u << HOST_BUF_SPECULAR_SHADE);
  EXPECT_EQ(instance.flags(), expected);
  EXPECT_TRUE(host.messages().messages().empty()) << "loading a good state showed a message";
}

TEST(ModuleLoading, FilesThatAreNoModuleAreRefusedByName) {
  const std::string missing = testing::TempDir() + "info_test_missing.p";
  EXPECT_EQ(errorOf([&] { qx::ModuleLibrary lib(missing); }), missing + ": no such module file");

  const std::string text = tempFile("text.p", "not a library\n");
  const std::string notLibrary = errorOf([&] { qx::ModuleLibrary lib(text); });
  EXPECT_EQ(notLibrary.rfind(text + ": not a loadable module: ", 0), 0u) << "got: " << notLibrary;

  // A real library that is no module: the one that holds cos().
  Dl_info info{};
  double (*cosine)(double) = &std::cos;
  ASSERT_NE(dladdr(reinterpret_cast<void *>(cosine), &info), 0);
  const std::string libm = info.dli_fname;
  EXPECT_EQ(errorOf([&] { qx::ModuleLibrary lib(libm); }),
            libm + ": no module descriptor \"_mod_descrip\"");
}

TEST(ModuleLoading, AWrongFixedWordIsNamed) {
  HostModuleDescriptor words{
      HOST_MODULE_SYNC, HOST_MODULE_VERSION, HOST_MODULE_MACHINE, nullptr, nullptr, nullptr};
  EXPECT_EQ(errorOf([&] { qx::ModuleLibrary::checkWords(words, "old.p"); }), "(no error)");
  words.sync = 0x04121993u;
  EXPECT_EQ(errorOf([&] { qx::ModuleLibrary::checkWords(words, "old.p"); }),
            "old.p: descriptor word HOST_MODULE_SYNC is 0x04121993, expected 0x04121994");
  words.sync = HOST_MODULE_SYNC;
  words.version = 2;
  EXPECT_EQ(errorOf([&] { qx::ModuleLibrary::checkWords(words, "old.p"); }),
            "old.p: descriptor word HOST_MODULE_VERSION is 0x00000002, expected 0x00000003");
  words.version = HOST_MODULE_VERSION;
  words.machine = 0x200;
  EXPECT_EQ(errorOf([&] { qx::ModuleLibrary::checkWords(words, "old.p"); }),
            "old.p: descriptor word HOST_MODULE_MACHINE is 0x00000200, expected 0x00000300");
}

TEST(InfoCommand, ShowsTheDescriptorAndBothServersActivated) {
  const e2e::Outcome run = qxhost("info");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("sync 0x04121994  version 0x00000003  machine 0x00000300"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("PixelFilterHandler    Quintessalux  activate: ok"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("PixelFilterInterface  Quintessalux  activate: ok"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "");
}

TEST(InfoCommand, MakesAnInstanceFromTheScene) {
  const std::string scene = tempFile("scene.json", kTwoSurfaceScene);
  const e2e::Outcome run =
      qxhost("info --module '" + std::string(QX_MODULE_PATH) + "' --scene '" + scene + "'");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("instance: \"Quintessalux\"  surfaces 2  flags 0x00000001"),
            std::string::npos)
      << run.out;
}

TEST(InfoCommand, ABadModuleOrSceneExitsWithTwoNamingTheFile) {
  const std::string missing = testing::TempDir() + "info_test_missing.p";
  e2e::Outcome run = qxhost("info --module '" + missing + "'");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: " + missing + ": no such module file\n");

  const std::string scene =
      tempFile("bad.json", R"({"surfaces": [{"name": "Skin", "BaseColor": [1, 0.5]}]})");
  run = qxhost("info --scene '" + scene + "'");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "qxhost: " + scene + ": surfaces[0].BaseColor: must hold three numbers\n");
  EXPECT_EQ(run.out, "") << "nothing is shown before the scene is read";

  run = qxhost("info --no-such-option");
  EXPECT_EQ(run.status, 2) << "a bad command line";
}

// Installed, qxhost sits in bin/ and the module in lib/quintessalux/: it
// loads that one when none is beside it, one beside it first (the build tree,
// the Windows zip), and --module before either. --version names the
// project's version, and the commit when built from a checkout.
TEST(InfoCommand, AnInstalledQxhostFindsItsModuleUnderLibAndTellsItsVersion) {
  namespace fs = std::filesystem;
  const std::string prefix = freshDir("installed");
  fs::create_directories(prefix + "/bin");
  fs::create_directories(prefix + "/lib/quintessalux");
  fs::copy_file(QXHOST_PATH, prefix + "/bin/qxhost");
  fs::copy_file(QX_MODULE_PATH, prefix + "/lib/quintessalux/quintess.p");
  const std::string installed = prefix + "/bin/qxhost";
  const auto firstLine = [](const e2e::Outcome &run) {
    return run.out.substr(0, run.out.find('\n'));
  };

  const e2e::Outcome fromLib = qxhostAt(installed, "info", prefix);
  EXPECT_EQ(fromLib.status, 0) << fromLib.err;
  EXPECT_EQ(firstLine(fromLib), "module: " + prefix + "/lib/quintessalux/quintess.p");
  EXPECT_NE(fromLib.out.find("PixelFilterInterface  Quintessalux  activate: ok"), std::string::npos)
      << fromLib.out;
  const e2e::Outcome named =
      qxhostAt(installed, "info --module '" + std::string(QX_MODULE_PATH) + "'", prefix);
  EXPECT_EQ(firstLine(named), "module: " + std::string(QX_MODULE_PATH)) << named.err;
  fs::copy_file(QX_MODULE_PATH, prefix + "/bin/quintess.p");
  EXPECT_EQ(firstLine(qxhostAt(installed, "info", prefix)),
            "module: " + prefix + "/bin/quintess.p");
  fs::remove(prefix + "/lib/quintessalux/quintess.p");
  fs::remove(prefix + "/bin/quintess.p");
  const e2e::Outcome none = qxhostAt(installed, "info", prefix);
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.err, "qxhost: " + prefix + "/bin/quintess.p: no such module file\n")
      << "with no module anywhere, the one beside it is named";

  const e2e::Outcome version = qxhost("--version");
  EXPECT_EQ(version.status, 0);
  const std::string plain = "qxhost " QX_PROJECT_VERSION;
  const bool withCommit = version.out.rfind(plain + " (git ", 0) == 0 &&
                          version.out.size() > plain.size() + 8 &&
                          version.out.substr(version.out.size() - 2) == ")\n";
  EXPECT_TRUE(version.out == plain + "\n" || withCommit)
      << "expected \"" << plain << "\" or \"" << plain << " (git COMMIT)\", got " << version.out;
}

TEST(InfoCommand, HelpNamesTheModuleAndSceneOptions) {
  const e2e::Outcome run = qxhost("info --help");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("--module"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--scene"), std::string::npos) << run.out;
  EXPECT_EQ(qxhost("--help").status, 0);
}

} // namespace
