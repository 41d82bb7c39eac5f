// Writing and reading .npy arrays byte by byte, the same on every platform.
#include "npy.h"

#include <cstring>
#include <fstream>
#include <limits>

#include "error.h"
#include "safe_write.h"

namespace qx {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicLength = 6;
// The header is padded so that the elements start on this boundary.
constexpr std::size_t kHeaderAlignment = 64;
// The largest header read: real ones are a few lines of text.
constexpr std::size_t kLargestHeader = 65536;

const char *descriptor(NpyType type) { return type == NpyType::Float32 ? "<f4" : "|u1"; }
std::size_t elementSize(NpyType type) { return type == NpyType::Float32 ? 4 : 1; }

std::size_t product(const std::vector<std::size_t> &shape) {
  std::size_t n = 1;
  for (std::size_t d : shape) n *= d;
  return n;
}

std::string shapeText(const std::vector<std::size_t> &shape) {
  std::string text = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  if (shape.size() == 1) text += ",";
  return text + ")";
}

// The text after `'key':` in the header dictionary, up to the next comma
// outside brackets; empty when the key is missing.
std::string headerValue(const std::string &header, const std::string &key) {
  const std::size_t at = header.find("'" + key + "'");
  if (at == std::string::npos) return "";
  std::size_t pos = header.find(':', at);
  if (pos == std::string::npos) return "";
  ++pos;
  while (pos < header.size() && header[pos] == ' ') ++pos;
  int depth = 0;
  std::size_t end = pos;
  for (; end < header.size(); ++end) {
    const char c = header[end];
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if ((c == ',' && depth == 0) || c == '}') break;
  }
  std::string value = header.substr(pos, end - pos);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

// "(3, 4)", "(5,)" or "()".
bool parseShape(const std::string &text, std::vector<std::size_t> &shape) {
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
  std::size_t pos = 1;
  const std::size_t end = text.size() - 1;
  while (pos < end) {
    while (pos < end && text[pos] == ' ') ++pos;
    if (pos == end) break;
    std::size_t value = 0;
    std::size_t digits = 0;
    while (pos < end && text[pos] >= '0' && text[pos] <= '9') {
      const std::size_t digit = static_cast<std::size_t>(text[pos] - '0');
      if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return false;
      value = value * 10 + digit;
      ++pos;
      ++digits;
    }
    if (digits == 0) return false;
    shape.push_back(value);
    while (pos < end && text[pos] == ' ') ++pos;
    if (pos < end && text[pos] != ',') return false;
    if (pos < end) ++pos;
  }
  return true;
}

} // namespace

std::size_t NpyArray::count() const { return product(shape); }

std::vector<float> NpyArray::floats() const {
  std::vector<float> values(bytes.size() / 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint32_t bits = static_cast<std::uint32_t>(bytes[4 * i]) |
                               static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
                               static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
                               static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    std::memcpy(&values[i], &bits, sizeof bits);
  }
  return values;
}

std::string npyFile(NpyType type, const std::vector<std::size_t> &shape, const void *data) {
  std::string header = std::string("{'descr': '") + descriptor(type) +
                       "', 'fortran_order': False, 'shape': " + shapeText(shape) + ", }";
  // Magic, two version bytes and the two-byte length come first; the header
  // ends in a line break.
  const std::size_t fixed = kMagicLength + 4;
  const std::size_t padded =
      (fixed + header.size() + 1 + kHeaderAlignment - 1) / kHeaderAlignment * kHeaderAlignment;
  header.append(padded - fixed - header.size() - 1, ' ');
  header += '\n';

  std::string file(kMagic, kMagicLength);
  file += '\x01';
  file += '\x00';
  file += static_cast<char>(header.size() & 0xFF);
  file += static_cast<char>((header.size() >> 8) & 0xFF);
  file += header;

  const std::size_t count = product(shape);
  const auto *source = static_cast<const std::uint8_t *>(data);
  if (type == NpyType::UInt8) {
    file.append(reinterpret_cast<const char *>(source), count);
  } else {
    file.reserve(file.size() + count * 4);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t bits;
      std::memcpy(&bits, source + 4 * i, sizeof bits);
      for (int b = 0; b < 4; ++b) file += static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
  }
  return file;
}

void writeNpy(const std::string &path, NpyType type, const std::vector<std::size_t> &shape,
              const void *data) {
  writeFileAtomically(path, npyFile(type, shape, data));
}

NpyArray readNpy(const std::string &path, std::size_t maxCount, const std::string &limitName) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path + ": cannot read the array");
  const auto bad = [&path](const std::string &what) {
    return Error(path + ": not a .npy array the host reads: " + what);
  };
  // Bytes are taken only as the header says they are there: a large file
  // that is no array, or whose shape is not its size, is never read whole.
  const auto take = [&in](std::size_t count) {
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
  };

  const std::string lead = take(kMagicLength + 4);
  if (lead.size() < kMagicLength + 4 || lead.compare(0, kMagicLength, kMagic, kMagicLength) != 0)
    throw bad("no .npy magic");
  const auto byte = [&lead](std::size_t i) { return static_cast<std::uint8_t>(lead[i]); };
  const int major = byte(kMagicLength);
  std::size_t headerLength = byte(8) | static_cast<std::size_t>(byte(9)) << 8;
  if (major == 2 || major == 3) {
    const std::string more = take(2);
    if (more.size() < 2) throw bad("the header is cut short");
    headerLength |= static_cast<std::size_t>(static_cast<std::uint8_t>(more[0])) << 16 |
                    static_cast<std::size_t>(static_cast<std::uint8_t>(more[1])) << 24;
  } else if (major != 1) {
    throw bad("version " + std::to_string(major) + " is unknown");
  }
  // The format pads its header to 64 bytes; a few kilobytes is generous.
  if (headerLength > kLargestHeader)
    throw bad("the header is " + std::to_string(headerLength) +
              " bytes, more than a .npy header holds");
  const std::string header = take(headerLength);
  if (header.size() < headerLength) throw bad("the header is cut short");

  NpyArray array;
  const std::string descr = headerValue(header, "descr");
  if (descr == "'<f4'") {
    array.type = NpyType::Float32;
  } else if (descr == "'|u1'" || descr == "'<u1'") {
    array.type = NpyType::UInt8;
  } else {
    throw bad("element type " + (descr.empty() ? std::string("missing") : descr) +
              ", expected '<f4' or '|u1'");
  }
  if (headerValue(header, "fortran_order") != "False") throw bad("not in C order");
  if (!parseShape(headerValue(header, "shape"), array.shape)) throw bad("no readable shape");

  std::size_t count = 1;
  for (std::size_t d : array.shape) {
    if (d != 0 && count > std::numeric_limits<std::size_t>::max() / 4 / d)
      throw bad("the shape is too large");
    count *= d;
  }
  if (count > maxCount) {
    throw Error(path + ": the array " + shapeText(array.shape) + " holds " + std::to_string(count) +
                " elements, more than the " + std::to_string(maxCount) + " allowed" +
                (limitName.empty() ? "" : " (" + limitName + ")"));
  }
  const std::size_t dataBytes = count * elementSize(array.type);
  // What the file holds after the header, known before anything the size of
  // the shape is allocated.
  const std::streamoff dataStart = in.tellg();
  in.seekg(0, std::ios::end);
  const std::streamoff fileEnd = in.tellg();
  in.seekg(dataStart);
  if (dataStart < 0 || fileEnd < dataStart || !in) throw Error(path + ": cannot read the array");
  const auto held = static_cast<std::size_t>(fileEnd - dataStart);
  if (held != dataBytes) {
    throw bad("the shape " + shapeText(array.shape) + " needs " + std::to_string(dataBytes) +
              " bytes of elements, the file holds " + std::to_string(held));
  }
  array.bytes.resize(dataBytes);
  in.read(reinterpret_cast<char *>(array.bytes.data()), static_cast<std::streamsize>(dataBytes));
  if (static_cast<std::size_t>(in.gcount()) != dataBytes) {
    throw Error(path + ": cannot read the array");
  }
  return array;
}

} // namespace qx
