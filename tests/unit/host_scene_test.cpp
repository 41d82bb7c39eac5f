// Scene files: what the host reads from them, and how it names what is wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>

#include "base/error.h"
#include "scene/cryptomatte.h"
#include "scene/scene.h"

namespace {

// The error text for a scene text, or "(no error)".
std::string errorOf(const std::string &text) {
  try {
    qx::Scene::parse(text, "scene.json");
  } catch (const qx::Error &e) {
    return e.what();
  }
  return "(no error)";
}

std::string tempPath(const std::string &name) { return testing::TempDir() + "host_scene_" + name; }

TEST(SceneFile, ReadsSurfacesInFileOrderWithTheirParametersAndState) {
  const qx::Scene scene = qx::Scene::parse(R"({
    "surfaces": [
      {"name": "Skin", "SpecialBuffer1": 1.0, "BaseColor": [1.0, 0.8, 0.7]},
      {"name": "Cloth", "SpecialBuffer1": 2, "BaseColor": [0, 0, 1]},
      {"name": "Floor"}
    ],
    "filter": {"state": ["-3 1 2", "1.000000 2 "]}
  })",
                                           "scene.json");
  ASSERT_EQ(scene.surfaces.size(), 3u);
  EXPECT_EQ(scene.surfaces[0].name, "Skin");
  EXPECT_EQ(scene.surfaces[1].name, "Cloth");
  EXPECT_EQ(scene.surfaces[2].name, "Floor");
  ASSERT_TRUE(scene.surfaces[0].specialBuffer.has_value());
  EXPECT_EQ(*scene.surfaces[0].specialBuffer, 1.0);
  ASSERT_TRUE(scene.surfaces[1].specialBuffer.has_value()) << "an integer is a number too";
  EXPECT_EQ(*scene.surfaces[1].specialBuffer, 2.0);
  ASSERT_TRUE(scene.surfaces[0].baseColor.has_value());
  EXPECT_EQ(*scene.surfaces[0].baseColor, (std::array<double, 3>{1.0, 0.8, 0.7}));
  EXPECT_FALSE(scene.surfaces[2].specialBuffer.has_value())
      << "Floor has no SpecialBuffer1, yet the scene gives it one";
  EXPECT_FALSE(scene.surfaces[2].baseColor.has_value());
  ASSERT_TRUE(scene.filterState.has_value());
  EXPECT_EQ(*scene.filterState, (std::vector<std::string>{"-3 1 2", "1.000000 2 "}))
      << "state lines come back verbatim, the trailing space included";
}

TEST(SceneFile, AbsentFilterOrStateMeansNoStoredStateButAnEmptyListIsStateOfNoLines) {
  EXPECT_FALSE(qx::Scene::parse(R"({"surfaces": []})", "s").filterState.has_value());
  EXPECT_FALSE(qx::Scene::parse(R"({"surfaces": [], "filter": {}})", "s").filterState.has_value());
  const qx::Scene empty = qx::Scene::parse(R"({"surfaces": [], "filter": {"state": []}})", "s");
  ASSERT_TRUE(empty.filterState.has_value());
  EXPECT_TRUE(empty.filterState->empty());
}

TEST(SceneFile, SyntaxErrorNamesFileLineAndColumn) {
  // The stray '}' stands at column 21 of line 3.
  const std::string error = errorOf("{\n  \"surfaces\": [\n    {\"name\": \"Skin\",}\n  ]\n}");
  EXPECT_EQ(error.rfind("scene.json: line 3, column 21: ", 0), 0u) << "got: " << error;
  const std::string empty = errorOf("");
  EXPECT_EQ(empty.rfind("scene.json: line 1, column 1: ", 0), 0u) << "got: " << empty;
}

TEST(SceneFile, WrongTypesAreNamedByTheirPlaceInTheDocument) {
  const struct {
    const char *text;
    const char *expected;
  } cases[] = {
      {R"([])", "scene.json: the scene must be a JSON object"},
      {R"({"surfaces": {}})", "scene.json: surfaces: must be an array"},
      {R"({"surfaces": [7]})", "scene.json: surfaces[0]: must be an object"},
      {R"({"surfaces": [{"name": 3}]})", "scene.json: surfaces[0].name: must be a string"},
      {R"({"surfaces": [{"name": "A", "SpecialBuffer1": "1"}]})",
       "scene.json: surfaces[0].SpecialBuffer1: must be a number"},
      {R"({"surfaces": [{"name": "A", "SpecialBuffer1": true}]})",
       "scene.json: surfaces[0].SpecialBuffer1: must be a number"},
      {R"({"surfaces": [{"name": "A"}, {"name": "B", "BaseColor": [1, 0]}]})",
       "scene.json: surfaces[1].BaseColor: must hold three numbers"},
      {R"({"surfaces": [{"name": "A"}, {"name": "B", "BaseColor": [1, 0, 0, 0]}]})",
       "scene.json: surfaces[1].BaseColor: must hold three numbers"},
      {R"({"surfaces": [{"name": "A"}, {"name": "B", "BaseColor": [1, "0", 0]}]})",
       "scene.json: surfaces[1].BaseColor: must hold three numbers"},
      {R"({"surfaces": [{"name": "A"}, {"name": "B", "BaseColor": 1}]})",
       "scene.json: surfaces[1].BaseColor: must hold three numbers"},
      {R"({"surfaces": [], "filter": []})", "scene.json: filter: must be an object"},
      {R"({"surfaces": [], "filter": {"state": "-3 0 0"}})",
       "scene.json: filter.state: must be an array of strings"},
      {R"({"surfaces": [], "filter": {"state": ["-3 1 1", "1.000000 1 ", 0]}})",
       "scene.json: filter.state[2]: must be a string"},
  };
  for (const auto &c : cases) EXPECT_EQ(errorOf(c.text), c.expected) << "for " << c.text;
}

TEST(SceneFile, MissingAndMisspeltKeysAreNamed) {
  EXPECT_EQ(errorOf(R"({})"), "scene.json: \"surfaces\" is missing");
  EXPECT_EQ(errorOf(R"({"surfaces": [{"SpecialBuffer1": 1}]})"),
            "scene.json: surfaces[0]: \"name\" is missing");
  EXPECT_EQ(errorOf(R"({"surfaces": [{"name": "A", "Basecolor": [1, 1, 1]}]})"),
            "scene.json: surfaces[0]: unknown key \"Basecolor\"");
  EXPECT_EQ(errorOf(R"({"surfaces": [], "surface": []})"), "scene.json: unknown key \"surface\"");
  EXPECT_EQ(errorOf(R"({"surfaces": [], "filter": {"states": []}})"),
            "scene.json: filter: unknown key \"states\"");
}

// A surface may name its object instead of giving its id: the host hashes
// the name, and writes the surface back as it was given.
TEST(SceneFile, ASurfaceNamedByItsObjectGetsTheObjectsIdAndKeepsItsForm) {
  const double id = static_cast<double>(qx::cryptomatteFloat(qx::cryptomatteHash("chair")));
  const qx::Scene scene =
      qx::Scene::parse(R"({"surfaces": [{"name": "Chair", "cryptomatte": "chair"}]})", "s.json");
  ASSERT_TRUE(scene.surfaces[0].specialBuffer.has_value());
  EXPECT_EQ(*scene.surfaces[0].specialBuffer, id);
  const std::string saved = scene.toJson();
  EXPECT_NE(saved.find("\"cryptomatte\": \"chair\""), std::string::npos) << saved;
  EXPECT_EQ(saved.find("SpecialBuffer1"), std::string::npos) << saved;
  const std::string both = R"({"surfaces": [{"name": "Chair", "cryptomatte": "chair",
    "SpecialBuffer1": )" + qx::exactText(id) +
                           "}]}";
  EXPECT_EQ(qx::Scene::parse(both, "s.json").surfaces[0].specialBuffer, id) << "both, agreeing";
  EXPECT_NE(
      errorOf(R"({"surfaces": [{"name": "Chair", "cryptomatte": "chair",
    "SpecialBuffer1": 1.0}]})")
          .find("scene.json: surfaces[0]: \"SpecialBuffer1\" 1.0 is not the id of \"cryptomatte\" "
                "\"chair\""),
      std::string::npos);
}

TEST(SceneFile, FilesThatCannotBeReadAreNamed) {
  const std::string missing = tempPath("does_not_exist.json");
  try {
    qx::Scene::load(missing);
    ADD_FAILURE() << "loading a missing file succeeded";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), missing + ": no such scene file");
  }
  try {
    qx::Scene::load(testing::TempDir());
    ADD_FAILURE() << "loading a directory succeeded";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), testing::TempDir() + ": is a folder, not a scene file");
  }
}

TEST(SceneFile, ErrorsInAFileNameThatFile) {
  const std::string path = tempPath("bad_color.json");
  std::ofstream(path) << R"({"surfaces": [{"name": "Skin", "BaseColor": [1, 0.5]}]})";
  try {
    qx::Scene::load(path);
    ADD_FAILURE() << "a two-number colour was accepted";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), path + ": surfaces[0].BaseColor: must hold three numbers");
  }
}

TEST(SceneFile, ASavedSceneReadsBackTheSame) {
  qx::Scene scene;
  // 1.0 and the next larger double must stay two values.
  scene.surfaces.push_back({"Skin", 1.0, std::array<double, 3>{1.0, 0.8, 0.7}});
  scene.surfaces.push_back({"Hair", std::nextafter(1.0, 2.0), std::nullopt});
  scene.surfaces.push_back({"Floor", std::nullopt, std::array<double, 3>{0.1, 0.2, 0.3}});
  scene.filterState = std::vector<std::string>{"-3 1 1", "1.000000 1 ", ""};
  const std::string path = tempPath("round_trip.json");
  scene.save(path);

  const qx::Scene back = qx::Scene::load(path);
  ASSERT_EQ(back.surfaces.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back.surfaces[i].name, scene.surfaces[i].name) << "surface " << i;
    EXPECT_EQ(back.surfaces[i].specialBuffer, scene.surfaces[i].specialBuffer)
        << "surface " << i << " SpecialBuffer1 changed on the way through the file";
    EXPECT_EQ(back.surfaces[i].baseColor, scene.surfaces[i].baseColor) << "surface " << i;
  }
  EXPECT_EQ(back.filterState, scene.filterState);

  qx::Scene noState;
  noState.surfaces.push_back({"Skin", 3.0, std::nullopt});
  noState.save(path);
  EXPECT_FALSE(qx::Scene::load(path).filterState.has_value())
      << "a scene without state gained one through the file";
}

TEST(SceneFile, SavingWhereNoFileCanBeMadeIsNamed) {
  const std::string path = tempPath("no_such_dir/scene.json");
  try {
    qx::Scene{}.save(path);
    ADD_FAILURE() << "saving into a missing directory succeeded";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), path + ": cannot write: No such file or directory");
  }
}

} // namespace

namespace {

TEST(SceneFile, AKeyRepeatedInAnyObjectIsRefusedWithItsLine) {
  try {
    qx::Scene::parse(
        "{\n  \"surfaces\": [\n    {\"name\": \"A\",\n     \"n\\u0061me\": \"B\"}\n  ]\n}",
        "s.json");
    ADD_FAILURE() << "a surface with two names was read";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), "s.json: line 4: duplicate key \"name\"");
  }
  try {
    qx::Scene::parse("{\"surfaces\": [],\n\"filter\": {},\n\"surfaces\": []}", "s.json");
    ADD_FAILURE() << "a scene with two surface lists was read";
  } catch (const qx::Error &e) {
    EXPECT_EQ(std::string(e.what()), "s.json: line 3: duplicate key \"surfaces\"");
  }
}

} // namespace
