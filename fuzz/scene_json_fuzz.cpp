// Feeds arbitrary text to the stand-in host's scene reader. Any text either
// reads as a scene or is refused with the host's own error, whose message
// names the source; nothing else may come out of it. A scene that reads must
// save to a file that reads back as the same scene, and save again to the
// same text.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "base/error.h"
#include "fuzz_support.h"
#include "scene/scene.h"

namespace {

const char kSource[] = "fuzz-scene.json";

// The file of this process; it is removed once each input is done.
const std::string &FilePath() {
  static const std::string path = fuzz::ProcessFile("scene_json", ".json");
  return path;
}

[[noreturn]] void Fail(const std::string &what, const std::string &text) {
  fuzz::Fail("scene_json", what, text, FilePath());
}

// The same number, -0 and 0 told apart.
bool SameNumber(double a, double b) { return a == b && std::signbit(a) == std::signbit(b); }

// What differs between two scenes as a user sees them, or "".
std::string Difference(const qx::Scene &a, const qx::Scene &b) {
  if (a.surfaces.size() != b.surfaces.size())
    return std::to_string(a.surfaces.size()) + " surfaces became " +
           std::to_string(b.surfaces.size());
  for (size_t i = 0; i < a.surfaces.size(); ++i) {
    const qx::SceneSurface &x = a.surfaces[i];
    const qx::SceneSurface &y = b.surfaces[i];
    const std::string where = "surfaces[" + std::to_string(i) + "]";
    if (x.name != y.name) return where + ".name changed";
    if (x.specialBuffer.has_value() != y.specialBuffer.has_value() ||
        (x.specialBuffer && !SameNumber(*x.specialBuffer, *y.specialBuffer)))
      return where + ".SpecialBuffer1 changed";
    if (x.baseColor.has_value() != y.baseColor.has_value())
      return where + ".BaseColor came or went";
    if (x.baseColor)
      for (size_t c = 0; c < 3; ++c)
        if (!SameNumber((*x.baseColor)[c], (*y.baseColor)[c])) return where + ".BaseColor changed";
  }
  if (a.filterState != b.filterState) return "the filter state changed";
  return "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  qx::Scene scene;
  try {
    scene = qx::Scene::parse(text, kSource);
  } catch (const qx::Error &e) {
    const std::string message = e.what();
    const std::string prefix = std::string(kSource) + ": ";
    if (message.rfind(prefix, 0) != 0 || message.size() == prefix.size())
      Fail("the refusal \"" + message + "\" does not name the source and a problem", text);
    return 0;
  } catch (const std::exception &e) {
    Fail(std::string("the reader threw something else: ") + e.what(), text);
  } catch (...) {
    Fail("the reader threw something that is no exception", text);
  }

  const std::string saved = scene.toJson();
  qx::Scene again;
  const fuzz::RemoveAtEnd removeAtEnd(FilePath());
  try {
    scene.save(FilePath());
    again = qx::Scene::load(FilePath());
  } catch (const qx::Error &e) {
    Fail(std::string("the saved scene did not read back: ") + e.what(), text);
  } catch (const std::exception &e) {
    Fail(std::string("saving or reading back threw: ") + e.what(), text);
  }
  const std::string difference = Difference(scene, again);
  if (!difference.empty()) Fail("after saving and reading back, " + difference, text);
  if (again.toJson() != saved) Fail("the scene read back saves to other text", text);
  return 0;
}
