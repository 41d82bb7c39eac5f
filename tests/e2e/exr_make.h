// Input files for the end-to-end tests, made with OpenEXR directly (never
// with qxhost): parts of any channels, pixel types, windows, tiling and
// attributes.
#pragma once

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfMultiPartOutputFile.h>
#include <ImfOutputPart.h>
#include <ImfPartType.h>
#include <ImfTiledOutputPart.h>
#include <half.h>

#include <cstring>
#include <string>
#include <vector>

namespace e2e {

// One channel: its name, type and values row by row over the data window,
// one value a sample (a subsampled channel has one every xSampling pixels of
// every ySampling-th row).
struct MadeChannel {
  std::string name;
  Imf::PixelType type;
  std::vector<double> values;
  int xSampling = 1, ySampling = 1;
};

struct MadePart {
  std::string name;
  Imath::Box2i dataWindow, displayWindow;
  std::vector<MadeChannel> channels;
  int tileSize = 0;  // 0: scan lines
  Imf::Header extra; // attributes to copy in
};

inline void writeParts(const std::string &path, const std::vector<MadePart> &parts) {
  std::vector<Imf::Header> headers;
  for (const MadePart &part : parts) {
    Imf::Header header = part.extra;
    header.dataWindow() = part.dataWindow;
    header.displayWindow() = part.displayWindow;
    for (const MadeChannel &c : part.channels)
      header.channels().insert(c.name, Imf::Channel(c.type, c.xSampling, c.ySampling));
    header.setName(part.name);
    if (part.tileSize > 0) {
      header.setTileDescription(Imf::TileDescription(part.tileSize, part.tileSize));
      header.setType(Imf::TILEDIMAGE);
    } else {
      header.setType(Imf::SCANLINEIMAGE);
    }
    headers.push_back(header);
  }
  Imf::MultiPartOutputFile file(path.c_str(), headers.data(), static_cast<int>(headers.size()));
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const MadePart &part = parts[p];
    const Imath::Box2i &w = part.dataWindow;
    const int width = w.max.x - w.min.x + 1;
    std::vector<std::vector<char>> store(part.channels.size());
    Imf::FrameBuffer slices;
    for (std::size_t c = 0; c < part.channels.size(); ++c) {
      const MadeChannel &channel = part.channels[c];
      const std::size_t size = channel.type == Imf::HALF ? 2 : 4;
      store[c].resize(channel.values.size() * size);
      for (std::size_t i = 0; i < channel.values.size(); ++i) {
        if (channel.type == Imf::HALF) {
          const half h(static_cast<float>(channel.values[i]));
          std::memcpy(&store[c][i * size], &h, size);
        } else if (channel.type == Imf::FLOAT) {
          const float f = static_cast<float>(channel.values[i]);
          std::memcpy(&store[c][i * size], &f, size);
        } else {
          const unsigned int u = static_cast<unsigned int>(channel.values[i]);
          std::memcpy(&store[c][i * size], &u, size);
        }
      }
      const std::ptrdiff_t rowSamples = width / channel.xSampling;
      char *base = store[c].data() -
                   (static_cast<std::ptrdiff_t>(w.min.x / channel.xSampling) +
                    static_cast<std::ptrdiff_t>(w.min.y / channel.ySampling) * rowSamples) *
                       static_cast<std::ptrdiff_t>(size);
      slices.insert(channel.name, Imf::Slice(channel.type, base, size,
                                             size * static_cast<std::size_t>(rowSamples),
                                             channel.xSampling, channel.ySampling));
    }
    if (part.tileSize > 0) {
      Imf::TiledOutputPart out(file, static_cast<int>(p));
      out.setFrameBuffer(slices);
      out.writeTiles(0, out.numXTiles() - 1, 0, out.numYTiles() - 1);
    } else {
      Imf::OutputPart out(file, static_cast<int>(p));
      out.setFrameBuffer(slices);
      out.writePixels(w.max.y - w.min.y + 1);
    }
  }
}

inline Imath::Box2i box(int x0, int y0, int x1, int y1) {
  return Imath::Box2i(Imath::V2i(x0, y0), Imath::V2i(x1, y1));
}

} // namespace e2e
