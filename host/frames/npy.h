// Arrays in NumPy's .npy format (version 1.0): a magic string, a little
// header that names the element type, the order and the shape, then the
// elements in C order. Frames travel as one float32 plane per host buffer and
// panel pictures as height x width x 3 bytes, on every platform alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx {

enum class NpyType {
  Float32, // "<f4": little-endian IEEE single precision
  UInt8,   // "|u1"
};

// An array read from a file: its shape and its elements' bytes, little-endian
// as stored.
struct NpyArray {
  NpyType type = NpyType::Float32;
  std::vector<std::size_t> shape;
  std::vector<std::uint8_t> bytes;

  std::size_t count() const;
  // The elements as floats; only for Float32.
  std::vector<float> floats() const;
};

// The whole file for an array of that shape: `data` holds count x element
// size bytes (floats in the machine's order, written little-endian).
std::string npyFile(NpyType type, const std::vector<std::size_t> &shape, const void *data);

// Writes npyFile(...) to `path`. Throws Error naming the file.
void writeNpy(const std::string &path, NpyType type, const std::vector<std::size_t> &shape,
              const void *data);

// Reads an array of type "<f4" or "|u1" in C order, version 1.0, 2.0 or 3.0.
// Throws Error naming the file and what is wrong with it.
// Only the header is read until the elements' size is known to be the
// file's.
NpyArray readNpy(const std::string &path);
// The type and shape of the array in a file, its elements not read (empty
// bytes), after the checks readNpy makes; `dataStart`, when given, gets
// where the elements begin.
NpyArray readNpyHeader(const std::string &path, std::uint64_t *dataStart = nullptr);

} // namespace qx
