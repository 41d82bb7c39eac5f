// The benchmarks' scene: a full-HD frame whose pixels fall on eight
// special-buffer values, and a filter instance with four layers of mixed
// blend modes on each.
#pragma once

#include "frame.h"
#include "qx/host.h"

namespace qx::bench {

struct BenchScene {
  Frame frame;           // 1920x1080, every buffer filled
  HostInstance instance; // made by the module's own callbacks
};

// Made on first use and kept for the life of the program.
const BenchScene &benchScene();

} // namespace qx::bench
