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

// A PNG file as RGB (`alpha` false) or RGBA; an unreadable one fails the
// test and reads as an empty picture.
inline Picture readPng(const std::string &path, bool alpha = false) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture picture;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
    ADD_FAILURE() << path << ": " << image.message;
    return picture;
  }
  image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  picture.width = image.width;
  picture.height = image.height;
  picture.channels = alpha ? 4 : 3;
  picture.bytes.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, picture.bytes.data(), 0, nullptr) == 0) {
    ADD_FAILURE() << path << ": " << image.message;
  }
  return picture;
}

} // namespace e2e
