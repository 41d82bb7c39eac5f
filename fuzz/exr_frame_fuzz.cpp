// Feeds arbitrary bytes to the host's frame reader as an EXR file, and
// renders what it reads through a one-entry filter instance. The reader must
// either refuse the bytes with the host's own error, naming the file, or give
// a frame no larger than the size cap it was given; a frame that reads must
// render without reading or writing outside its planes.
//
// The size cap is low (a quarter megapixel), so a header that declares a huge
// data window is refused before anything is allocated for it, as qxhost
// refuses one larger than --max-pixels.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "base/error.h"
#include "effect.h"
#include "frames/frame.h"
#include "frames/renderer.h"
#include "layers.h"
#include "module.h"

namespace {

const char kSource[] = "fuzz-frame.exr";
constexpr std::uint64_t kMaxPixels = 512 * 512;

[[noreturn]] void Fail(const std::string &what) {
  std::fprintf(stderr, "exr_frame: %s\n", what.c_str());
  std::abort();
}

// An instance with one entry, special-buffer value 1, switched on, holding
// one layer with the defaults: what a scene with one stored stack loads as.
FilterInstance *OneEntryInstance() {
  FilterInstance *inst = static_cast<FilterInstance *>(QXCreate(nullptr, nullptr, nullptr));
  if (inst == nullptr) Fail("no instance");
  inst->entries = static_cast<SBEntry *>(calloc(1, sizeof(SBEntry)));
  if (inst->entries == nullptr) Fail("no entry");
  inst->entryCount = 1;
  inst->entries[0].value = 1.0;
  inst->entries[0].on = 1;
  if (AddLayer(&inst->entries[0], 0) == nullptr) Fail("no layer");
  return inst;
}

} // namespace

// Damaged headers make the EXR library take and give back buffers of
// hundreds of megabytes, which the address checker keeps in quarantine after
// they are freed; a smaller quarantine keeps the process under the fuzzer's
// memory limit while still catching use after free of recent buffers.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=64"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Inputs past a few hundred kilobytes add nothing the small ones do not.
  if (size > 256 * 1024) return 0;
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  qx::Frame frame;
  try {
    frame = qx::Frame::readExrBytes(bytes, kSource, kMaxPixels);
  } catch (const qx::Error &e) {
    const std::string message = e.what();
    if (message.rfind(std::string(kSource) + ": ", 0) != 0) {
      Fail("a refusal that does not name the file: " + message);
    }
    return 0;
  } catch (const std::exception &e) {
    Fail(std::string("an exception that is not the host's error: ") + e.what());
  }
  if (frame.pixelCount() == 0 || frame.pixelCount() > kMaxPixels) {
    Fail("a frame of " + std::to_string(frame.pixelCount()) + " pixels came through");
  }

  static FilterInstance *const instance = OneEntryInstance();
  qx::RenderOptions options;
  options.threads = 1;
  options.progress = nullptr;
  const qx::Frame rendered = qx::renderFrame(
      frame, [](const HostPixelAccess &access) { QXEvaluate(instance, &access); }, options);
  if (rendered.width() != frame.width() || rendered.height() != frame.height()) {
    Fail("the rendered frame changed size");
  }
  return 0;
}
