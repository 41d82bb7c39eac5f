// Writes the end-to-end benchmark's frame with OpenEXR: 1920x1080, the 19
// channels of the Frames table (colour as half, the other buffers as float),
// ZIP-compressed as renderers write them, eight special-buffer values in
// vertical bands. Usage: make_bench_frame OUT.exr
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <half.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "frame.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_bench_frame OUT.exr\n");
    return 2;
  }
  const int width = 1920, height = 1080;
  const std::size_t count = static_cast<std::size_t>(width) * height;
  Imf::Header header(width, height);
  Imf::FrameBuffer slices;
  std::vector<std::vector<float>> floats;
  std::vector<std::vector<half>> halves;
  floats.reserve(40);
  halves.reserve(4);
  for (int b = 0; b < qx::kBufferSlots; ++b) {
    const char *name = qx::bufferChannelName(b);
    if (name == nullptr) continue;
    std::vector<float> plane(count);
    for (std::size_t i = 0; i < count; ++i) {
      const int x = static_cast<int>(i % width), y = static_cast<int>(i / width);
      plane[i] = b == 0 ? static_cast<float>(1 + x * 8 / width)
                        : 0.5f + 0.5f * std::sin(0.013f * static_cast<float>(x * (b + 1)) +
                                                 0.007f * static_cast<float>(y * (b + 3)));
    }
    if (b >= 32) {
      halves.emplace_back(plane.begin(), plane.end());
      header.channels().insert(name, Imf::Channel(Imf::HALF));
      slices.insert(name, Imf::Slice(Imf::HALF, reinterpret_cast<char *>(halves.back().data()),
                                     sizeof(half), sizeof(half) * width));
    } else {
      floats.push_back(std::move(plane));
      header.channels().insert(name, Imf::Channel(Imf::FLOAT));
      slices.insert(name, Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(floats.back().data()),
                                     sizeof(float), sizeof(float) * width));
    }
  }
  Imf::OutputFile file(argv[1], header);
  file.setFrameBuffer(slices);
  file.writePixels(height);
  return 0;
}
