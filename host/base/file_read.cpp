// Whole input files read up to a ceiling.
#include "base/file_read.h"

#include <filesystem>
#include <fstream>

#include "base/error.h"
#include "base/memory_plan.h"

namespace qx {

std::string readStreamLimited(std::istream &in, const std::string &name, const std::string &what,
                              std::uint64_t limit) {
  std::string text;
  std::string block(std::size_t{1} << 20, '\0');
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    if (got > limit - text.size()) {
      throw Error(name + ": the " + what + " is larger than " + byteText(limit) + ", the most a " +
                  what + " may hold");
    }
    text.append(block, 0, got);
  }
  if (in.bad()) throw Error(name + ": cannot read the " + what);
  return text;
}

std::string readFileLimited(const std::string &path, const std::string &what, std::uint64_t limit) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw Error(path + ": is a folder, not a " + what);
  // A regular file says its size: one too large is refused unread.
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && std::filesystem::is_regular_file(path, ec) && size > limit) {
    throw Error(path + ": the " + what + " holds " + byteText(size) + ", more than the " +
                byteText(limit) + " a " + what + " may hold");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path + ": cannot read the " + what);
  try {
    return readStreamLimited(in, path, what, limit);
  } catch (const std::ios_base::failure &) {
    throw Error(path + ": cannot read the " + what);
  }
}

} // namespace qx
