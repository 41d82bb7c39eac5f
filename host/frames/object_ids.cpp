// Summing a frame's ids, strip by strip.
#include "frames/object_ids.h"

#include <algorithm>
#include <bitset>

#include "frames/frame_filter.h"

namespace qx {

std::vector<LayerCensus> takeIdCensus(const std::string &path,
                                      const std::vector<CryptomatteLayer> &layers,
                                      ExrReadOptions read, const CensusColour *colour) {
  std::vector<LayerCensus> census;
  std::vector<std::size_t> firsts;
  for (const CryptomatteLayer &layer : layers) {
    firsts.push_back(read.extraChannels.size());
    read.extraChannels.insert(read.extraChannels.end(), layer.rankChannels.begin(),
                              layer.rankChannels.end());
    census.push_back({layer, {}});
  }
  read.passThrough = false;
  read.memory.strips = true; // a strip at a time, as the memory plan sizes it
  ExrInput input(path, read);
  if (colour != nullptr && colour->check) colour->check(input);
  const int step = input.stripRows();
  ExrStrip strip;
  for (int row = 0; row < input.height(); row += step) {
    input.read(row, std::min(step, input.height() - row), strip);
    if (colour != nullptr && colour->prepare) colour->prepare(strip.frame);
    const float *rgb[3] = {strip.frame.plane(HOST_BUF_RED), strip.frame.plane(HOST_BUF_GREEN),
                           strip.frame.plane(HOST_BUF_BLUE)};
    const std::size_t pixels = strip.frame.pixelCount();
    for (std::size_t l = 0; l < census.size(); ++l) {
      std::map<std::uint32_t, IdTotals> &ids = census[l].ids;
      const std::size_t count = census[l].layer.rankChannels.size();
      for (std::size_t i = 0; i < pixels; ++i) {
        forEachRank(strip.extra, firsts[l], count, i, [&](float id, float coverage) {
          IdTotals &totals = ids[cryptomatteBits(id)];
          totals.coverage += static_cast<double>(coverage);
          if (colour == nullptr) return;
          for (int c = 0; c < 3; ++c) {
            if (rgb[c] != nullptr)
              totals.colour[c] += static_cast<double>(coverage) * static_cast<double>(rgb[c][i]);
          }
        });
      }
    }
  }
  return census;
}

LayerCensus takeColourCensus(const std::string &path, const CryptomatteLayer &layer,
                             const FrameReadOptions &frame) {
  std::bitset<kBufferSlots> buffers;
  for (int b = HOST_BUF_RED; b <= HOST_BUF_ALPHA; ++b) buffers.set(static_cast<std::size_t>(b));
  std::bitset<kBufferSlots> warned;
  CensusColour colour;
  colour.check = [&](const ExrInput &input) {
    std::bitset<kBufferSlots> wanted;
    for (int b = HOST_BUF_RED; b <= HOST_BUF_BLUE; ++b) wanted.set(static_cast<std::size_t>(b));
    checkFrameInput(frame, wanted, holdingsOf(input, frame.map), input.name(), warned);
  };
  if (frame.premultiplied()) colour.prepare = [](Frame &strip) { unpremultiply(strip); };
  return takeIdCensus(path, {layer}, exrReadOptionsFor(frame, buffers), &colour).front();
}

} // namespace qx
