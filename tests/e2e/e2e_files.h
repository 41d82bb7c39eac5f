// Reading what qxhost writes, for end-to-end tests: JSON dumps and scenes,
// and PNG pictures.
#pragma once

#include <png.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/png_bytes.h"
#include "qxhost_run.h"

namespace e2e {

// A JSON file; a missing or empty one fails the test and reads as {}.
inline nlohmann::json readJson(const std::string &path) {
  const std::string text = readAll(path);
  if (text.empty()) {
    ADD_FAILURE() << path << " is missing or empty";
    return nlohmann::json::object();
  }
  return nlohmann::json::parse(text);
}

// A picture as rows of 8-bit channels, `channels` a pixel (3 RGB, 4 RGBA).
struct Picture {
  unsigned int width = 0, height = 0;
  int channels = 0;
  std::vector<png_byte> bytes;

  // Red, green and blue at (x, y).
  std::array<int, 3> at(int x, int y) const {
    const std::size_t i =
        (static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)) * channels;
    return {bytes[i], bytes[i + 1], bytes[i + 2]};
  }
  // Channel `c` of pixel number `pixel`, counted row by row.
  int channel(std::size_t pixel, int c) const { return bytes[pixel * channels + c]; }
};

// A PNG file's stored bytes as RGB (`alpha` false) or RGBA (an RGB file
// gets alpha 255); an unreadable one fails the test and reads as an empty
// picture.
inline Picture readPng(const std::string &path, bool alpha = false) {
  const testpng::StoredPng stored = testpng::readStoredPng(path);
  Picture picture;
  if (!stored.ok || (stored.channels != 3 && stored.channels != 4)) {
    ADD_FAILURE() << path << ": not a readable RGB or RGBA PNG";
    return picture;
  }
  picture.width = stored.width;
  picture.height = stored.height;
  picture.channels = alpha ? 4 : 3;
  const std::size_t pixels = static_cast<std::size_t>(stored.width) * stored.height;
  for (std::size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < picture.channels; ++c) {
      picture.bytes.push_back(c < stored.channels ? stored.bytes[i * stored.channels + c] : 255);
    }
  }
  return picture;
}

} // namespace e2e
