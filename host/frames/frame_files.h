// The files a command reads and writes, named for its messages: an output
// that would take an input's place is refused before anything is read, and
// an output with other names (hard links) is said to split from them.
#pragma once

#include <string>
#include <vector>

namespace qx {

// A file a command reads or writes, with what it is to the command, e.g.
// {"the scene", "s.json"}.
struct NamedPath {
  std::string role;
  std::string path;
};

// Throws Error when an output names the same file as an input (same device
// and inode, however spelt), before anything is read or written. Only regular
// files are compared: empty paths, "-" (standard input or output), devices
// and pipes are skipped.
void refuseOutputOverInput(const std::vector<NamedPath> &outputs,
                           const std::vector<NamedPath> &inputs);

// The plane files a folder of .npy planes holds or would hold, for
// refuseOutputOverInput: "<folder>/<channel>.npy" for the host buffers from
// `first` to `last`, each with `role` and its name, e.g. "the frame's plane
// R.npy".
std::vector<NamedPath> planeFiles(const std::string &folder, const std::string &role, int first,
                                  int last);

// What reading the frame `frame` reads: each plane of a folder of planes, or
// the file.
std::vector<NamedPath> frameFiles(const std::string &frame);

// Says on stderr of each output that is a file with other names (hard links)
// that those keep the old content.
void noteSplitLinks(const std::vector<NamedPath> &outputs);

} // namespace qx
