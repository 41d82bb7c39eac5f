// The benchmarks' workloads: frames whose pixels fall on the special-buffer
// values of a filter instance made by the module's own callbacks, each entry
// holding four layers of mixed blend modes.
//
//   W1       full HD, 8 entries, the values in vertical bands
//   W1r      W1 with an entry picked at random for every pixel
//   W2       256 entries, every pixel matching the last of them
//   W2first  the same 256 entries in reverse order: the match is the first
//   W3       4K with W1's stacks
#pragma once

#include <string>

#include "frames/frame.h"
#include "qx/host.h"
#include "scene/scene.h"

namespace qx::bench {

enum class Workload { W1, W1r, W2, W2first, W3 };

struct BenchScene {
  Frame frame;           // every buffer the stacks read, and the colour
  HostInstance instance; // made by the module's own callbacks
};

const char *workloadName(Workload workload);
// The workload named `name` ("W1", "W1r", ...); false for another name.
bool workloadFromName(const std::string &name, Workload &workload);

// The workload at its own size, made on first use and kept for the life of
// the program.
const BenchScene &benchScene(Workload workload = Workload::W1);
// The workload's stacks over a frame of another size (the instruction counts
// use a small one). The instance lives for the life of the program.
BenchScene makeBenchScene(Workload workload, int width, int height);
// The workload as a scene file holds it: its surfaces and stored stacks.
Scene workloadScene(Workload workload);

} // namespace qx::bench
