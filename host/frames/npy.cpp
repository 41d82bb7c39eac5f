// Writing and reading .npy arrays byte by byte, the same on every platform.
#include "frames/npy.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "base/error.h"
#include "base/safe_write.h"

namespace qx {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicLength = 6;
// The header is padded so that the elements start on this boundary.
constexpr std::size_t kHeaderAlignment = 64;
// The longest header read: a dictionary of three keys takes a few hundred
// bytes.
constexpr std::size_t kMaxHeaderBytes = 1 << 16;

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

NpyArray readNpyHeader(const std::string &path, std::uint64_t *dataStart) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path + ": cannot read the array");
  const auto bad = [&path](const std::string &what) {
    return Error(path + ": not a .npy array the host reads: " + what);
  };
  // Only the header is read here: the elements' size is checked against the
  // file's before any of them is.
  std::error_code ec;
  const std::uintmax_t fileSize = std::filesystem::file_size(path, ec);
  if (ec) throw Error(path + ": cannot read the array");
  char fixed[12] = {};
  in.read(fixed, sizeof fixed);
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  if (got < kMagicLength + 4 || std::memcmp(fixed, kMagic, kMagicLength) != 0)
    throw bad("no .npy magic");
  const auto byte = [&fixed](std::size_t i) { return static_cast<std::uint8_t>(fixed[i]); };
  const int major = byte(kMagicLength);
  std::size_t headerLength = 0;
  std::size_t headerStart = 0;
  if (major == 1) {
    headerLength = byte(8) | static_cast<std::size_t>(byte(9)) << 8;
    headerStart = 10;
  } else if (major == 2 || major == 3) {
    if (got < 12) throw bad("the header is cut short");
    headerLength = byte(8) | static_cast<std::size_t>(byte(9)) << 8 |
                   static_cast<std::size_t>(byte(10)) << 16 |
                   static_cast<std::size_t>(byte(11)) << 24;
    headerStart = 12;
  } else {
    throw bad("version " + std::to_string(major) + " is unknown");
  }
  if (headerLength > fileSize - headerStart) throw bad("the header is cut short");
  if (headerLength > kMaxHeaderBytes) throw bad("the header is longer than the host reads");
  std::string header(headerLength, '\0');
  in.clear();
  in.seekg(static_cast<std::streamoff>(headerStart));
  in.read(header.data(), static_cast<std::streamsize>(headerLength));
  if (static_cast<std::size_t>(in.gcount()) != headerLength) throw bad("the header is cut short");

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
  const std::uint64_t dataBytes = count * elementSize(array.type);
  const std::uint64_t start = headerStart + headerLength;
  if (fileSize - start != dataBytes) {
    throw bad("the shape " + shapeText(array.shape) + " needs " + std::to_string(dataBytes) +
              " bytes of elements, the file holds " + std::to_string(fileSize - start));
  }
  if (dataStart != nullptr) *dataStart = start;
  return array;
}

NpyArray readNpy(const std::string &path) {
  std::uint64_t start = 0;
  NpyArray array = readNpyHeader(path, &start);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start));
  array.bytes = namingFailures(path, "read the array", [&] {
    return std::vector<std::uint8_t>(array.count() * elementSize(array.type));
  });
  in.read(reinterpret_cast<char *>(array.bytes.data()),
          static_cast<std::streamsize>(array.bytes.size()));
  if (!in || static_cast<std::size_t>(in.gcount()) != array.bytes.size()) {
    throw Error(path + ": cannot read the array");
  }
  return array;
}

} // namespace qx
