// The files a command reads and writes, and the checks on them.
#include "frames/frame_files.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "base/error.h"
#include "base/safe_write.h"
#include "frames/frame.h"

namespace qx {

void refuseOutputOverInput(const std::vector<NamedPath> &outputs,
                           const std::vector<NamedPath> &inputs) {
  for (const NamedPath &output : outputs) {
    if (output.path.empty() || output.path == "-") continue;
    for (const NamedPath &input : inputs) {
      if (input.path.empty() || input.path == "-") continue;
      if (sameFile(output.path, input.path)) {
        throw Error(output.path + ": " + output.role + " is the same file as " + input.role + " (" +
                    input.path + "); choose another output");
      }
    }
  }
}

std::vector<NamedPath> planeFiles(const std::string &folder, const std::string &role, int first,
                                  int last) {
  std::vector<NamedPath> files;
  if (folder.empty()) return files;
  for (int b = first; b <= last; ++b) {
    const char *channel = bufferChannelName(b);
    if (channel == nullptr) continue;
    const std::string name = channel + std::string(".npy");
    files.push_back({role + " " + name, (std::filesystem::path(folder) / name).string()});
  }
  return files;
}

std::vector<NamedPath> frameFiles(const std::string &frame) {
  if (namesPlaneFolder(frame)) return planeFiles(frame, "the frame's plane", 0, kBufferSlots - 1);
  return {{"the frame", frame}};
}

void noteSplitLinks(const std::vector<NamedPath> &outputs) {
  for (const NamedPath &file : outputs) {
    if (file.path.empty()) continue;
    const std::uintmax_t others = otherHardLinks(file.path);
    if (others == 0) continue;
    std::fprintf(stderr,
                 "qxhost: %s: has %ju other %s (hard links); the new file takes this name only, "
                 "the %s the old content\n",
                 file.path.c_str(), others, others == 1 ? "name" : "names",
                 others == 1 ? "other keeps" : "others keep");
  }
}

} // namespace qx
