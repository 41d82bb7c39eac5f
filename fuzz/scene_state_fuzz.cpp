// Feeds arbitrary scene-state lines to the filter's load. Whatever the lines
// say, load must stay inside its buffers and leak nothing, and a state it
// accepts must save and load back to the very same lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "module.h"
#include "persist.h"

namespace {

struct Lines {
  std::vector<std::string> lines;
  size_t next = 0;
};

int ReadLine(void *data, char *buffer, int capacity) {
  Lines *in = static_cast<Lines *>(data);
  if (in->next >= in->lines.size()) {
    buffer[0] = '\0';
    return -1;
  }
  const std::string &line = in->lines[in->next++];
  const size_t n = std::min(line.size(), static_cast<size_t>(capacity - 1));
  std::memcpy(buffer, line.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

void WriteLine(void *data, const char *text, int length) {
  static_cast<std::vector<std::string> *>(data)->emplace_back(
      text, strnlen(text, static_cast<size_t>(length)));
}

std::vector<std::string> Save(HostInstance inst) {
  std::vector<std::string> out;
  HostSaveState save{&out, WriteLine};
  QXSave(inst, &save);
  return out;
}

void Load(HostInstance inst, std::vector<std::string> lines) {
  Lines in{std::move(lines)};
  HostLoadState load{&in, ReadLine};
  QXLoad(inst, &load);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n')
      lines.emplace_back();
    else
      lines.back().push_back(static_cast<char>(data[i]));
  }

  // No host services: load shows no message and the instance starts empty.
  global_func = nullptr;
  HostInstance inst = QXCreate(nullptr, nullptr, nullptr);
  if (inst == nullptr) return 0;
  Load(inst, lines);
  const std::vector<std::string> saved = Save(inst);

  // A line longer than load reads can only come from absurd integers that
  // damaged data brought in; the stored format has no room for them.
  for (const std::string &line : saved)
    if (line.size() >= SCENE_LINE_LEN) {
      QXDestroy(inst);
      return 0;
    }

  HostInstance again = QXCreate(nullptr, nullptr, nullptr);
  Load(again, saved);
  if (Save(again) != saved) {
    std::fprintf(stderr, "a saved state did not load back to the same lines\n");
    std::abort();
  }
  QXDestroy(again);
  QXDestroy(inst);
  return 0;
}
