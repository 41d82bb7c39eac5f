// Reading a whole input file (a scene, a panel script, a channel map) with
// a ceiling on its size, so that a wrong name (a device, a huge file) is
// refused rather than read until memory runs out.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace qx {

// The most a scene, a panel script or a channel map may hold: 256 MiB.
constexpr std::uint64_t kMaxTextFileBytes = std::uint64_t{256} << 20;

// The whole of the file at `path`, `what` saying what it is to the user
// ("scene file"). Throws Error naming the file for a folder, a file
// that cannot be read, and one of more than `limit` bytes, which is not
// read past the limit.
std::string readFileLimited(const std::string &path, const std::string &what,
                            std::uint64_t limit = kMaxTextFileBytes);
// The same for an open stream (standard input), `name` standing for it.
std::string readStreamLimited(std::istream &in, const std::string &name, const std::string &what,
                              std::uint64_t limit = kMaxTextFileBytes);

} // namespace qx
