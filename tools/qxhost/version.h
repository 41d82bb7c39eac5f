// The version qxhost reports (--version) and writes into every EXR it makes
// (qxhost:version): the project's version, and the git commit it was built
// from when built from a checkout. The text is made at build time
// (cmake/version-source.cmake), so a new commit is seen without configuring.
#pragma once

namespace qx::cli {

// E.g. "0.3.0" or "0.3.0 (git 1a2b3c4-dirty)".
const char *versionText();

} // namespace qx::cli
