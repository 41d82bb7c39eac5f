// The build without OpenEXR (the 32-bit Windows one): Frame's EXR functions
// refuse, naming what to give instead. exr_input.cpp and exr_output.cpp hold
// them in the build with OpenEXR.
#include <cstdint>
#include <string>

#include "base/error.h"
#include "frames/frame.h"

namespace qx {

Frame Frame::readExr(const std::string &path, std::uint64_t) {
  throw Error(path + ": this qxhost is built without OpenEXR; give a folder of .npy planes "
                     "(qxhost planes writes them)");
}

Frame Frame::readExrBytes(const std::string &, const std::string &name, std::uint64_t) {
  throw Error(name + ": this qxhost is built without OpenEXR");
}

void Frame::writeExr(const std::string &path) const {
  throw Error(path + ": this qxhost is built without OpenEXR; write .npy planes (--out DIR/)");
}

} // namespace qx
