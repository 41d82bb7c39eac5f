// Samples of a channel held row by row, as OpenEXR's slices address them:
// shared by the frame's reader and its writer.
#pragma once

#include <ImfFrameBuffer.h>
#include <ImfPixelType.h>
#include <half.h>

#include <algorithm>
#include <cstddef>

#include "frames/exr_chunks.h"

namespace qx {

// The first multiple of `step` at or above `value`, over whole numbers of
// either sign.
inline int ceilDiv(int value, int step) {
  return value >= 0 ? (value + step - 1) / step : -((-value) / step);
}

// The samples a channel of that sampling has in rows y0 to y1 of a window
// from minX to maxX: the rows whose y is a multiple of the sampling.
inline std::size_t samplesIn(int minX, int maxX, int y0, int y1, int xSampling, int ySampling) {
  const int columns = (maxX - minX + 1) / xSampling;
  const int rows = y1 / ySampling - ceilDiv(y0, ySampling) + 1;
  return static_cast<std::size_t>(columns) * static_cast<std::size_t>(std::max(rows, 0));
}

// A slice over samples stored row by row from the corner (minX, y0). OpenEXR
// addresses a slice by absolute pixel coordinates divided by the sampling,
// so the base is moved back by the corner's sample.
inline Imf::Slice sliceOver(Imf::PixelType type, void *data, int minX, int maxX, int y0,
                            int xSampling = 1, int ySampling = 1) {
  const std::ptrdiff_t xStride = static_cast<std::ptrdiff_t>(sampleBytes(type));
  const std::ptrdiff_t yStride = xStride * ((maxX - minX + 1) / xSampling);
  char *base =
      static_cast<char *>(data) - (minX / xSampling) * xStride - ceilDiv(y0, ySampling) * yStride;
  return Imf::Slice(type, base, static_cast<size_t>(xStride), static_cast<size_t>(yStride),
                    xSampling, ySampling);
}

// Calls put(i, v) with each of `samples` samples held in `type`, as a float.
template <class Put>
inline void forEachAsFloat(const void *from, Imf::PixelType type, std::size_t samples, Put put) {
  if (type == Imf::HALF) {
    const half *h = static_cast<const half *>(from);
    for (std::size_t i = 0; i < samples; ++i) put(i, static_cast<float>(h[i]));
  } else if (type == Imf::UINT) {
    const unsigned int *u = static_cast<const unsigned int *>(from);
    for (std::size_t i = 0; i < samples; ++i) put(i, static_cast<float>(u[i]));
  } else {
    const float *f = static_cast<const float *>(from);
    for (std::size_t i = 0; i < samples; ++i) put(i, f[i]);
  }
}

// A float as a uint channel holds it: out of range, clamped to the range;
// NaN, 0.
inline unsigned int uintSample(float v) {
  return !(v > 0.0f) ? 0u : v >= 4294967040.0f ? 4294967295u : static_cast<unsigned int>(v);
}

} // namespace qx
