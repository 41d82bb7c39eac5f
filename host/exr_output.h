// Writing an OpenEXR file safely: the library writes through a stream over a
// temporary file beside the target, which takes the target's place only once
// written whole (see safe_write.h). Both EXR writers of the host use it.
#pragma once

#include <ImfIO.h>

#include <functional>
#include <string>

namespace qx {

// Calls `write` with the library's output stream and commits the file. A
// failed write is told in the file's own terms ("PATH: cannot write: File
// too large"), any other failure as "PATH: cannot write the frame: ...";
// either way the old file stays as it was and no temporary file is left.
void writeExrSafely(const std::string &path, const std::function<void(Imf::OStream &)> &write);

} // namespace qx
