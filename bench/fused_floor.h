// The fused floor: the filter's per-pixel rules written straight out as one
// loop over the frame's float planes, with no host in between. It does, for
// every pixel, what the rules describe for a pixel: find the entry by a walk,
// see which optional buffers its stack reads, and apply each layer from its
// stored bytes and percentages. It gives the same floats as QXEvaluate (the
// benchmarks check that before they time it) and stands beside it as the
// cost of a straightforward hand-written pass.
#pragma once

#include "frames/frame.h"
#include "model.h"

namespace qx::bench {

// Writes the filtered colour of every pixel of `input` into buffers 32 to 35
// of `output`, a frame of the same size holding them, for rows [rowBegin,
// rowEnd). Pixels without a usable entry are left as they are in `output`.
void fusedPass(const FilterInstance &instance, const Frame &input, Frame &output, int rowBegin,
               int rowEnd);

} // namespace qx::bench
