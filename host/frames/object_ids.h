// What a frame's Cryptomatte layers hold: every id's coverage summed over
// the frame, and its coverage-weighted colour, read strip by strip.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frames/exr_input.h"
#include "frames/frame_input.h"
#include "scene/cryptomatte.h"

namespace qx {

// One id's sums over a frame.
struct IdTotals {
  double coverage = 0.0;
  double colour[3] = {0.0, 0.0, 0.0}; // coverage x straight R, G, B
};

// A layer and its ids' sums, by id.
struct LayerCensus {
  CryptomatteLayer layer;
  std::map<std::uint32_t, IdTotals> ids;
};

// Calls `visit(id, coverage)` for each rank of pixel `i` whose coverage is
// above 0, in rank order; `ranks` holds the layer's rank planes (id,
// coverage, id, coverage, ...), as ExrStrip::extra holds them from
// `first` on.
template <class Visit>
void forEachRank(const std::vector<std::vector<float>> &ranks, std::size_t first, std::size_t count,
                 std::size_t i, Visit visit) {
  for (std::size_t k = first; k + 1 < first + count; k += 2) {
    const float coverage = ranks[k + 1][i];
    if (coverage > 0.0f) visit(ranks[k][i], coverage);
  }
}

// How a census reads its frame's colour: `check` sees the opened input
// first (and may throw), `prepare` makes each strip's colour straight.
struct CensusColour {
  std::function<void(const ExrInput &)> check;
  std::function<void(Frame &)> prepare;
};

// Reads the frame at `path` by `read` (its buffers, map and part; the rank
// channels of `layers` are added to its extra channels) and sums, for every
// layer, each id's coverage, and with `colour` its coverage-weighted colour
// (buffers 32 to 34 of `read`). Throws Error naming the file.
std::vector<LayerCensus> takeIdCensus(const std::string &path,
                                      const std::vector<CryptomatteLayer> &layers,
                                      ExrReadOptions read, const CensusColour *colour = nullptr);

// The census of `layer` in the frame at `path`, with each id's
// coverage-weighted colour, read as `frame` says (its map, part, bounds and
// alpha); the colour's channels are checked as a render checks them. Throws
// Error naming the file.
LayerCensus takeColourCensus(const std::string &path, const CryptomatteLayer &layer,
                             const FrameReadOptions &frame);

} // namespace qx
