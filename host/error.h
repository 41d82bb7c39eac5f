// The error the host and its commands report to the user.
#pragma once

#include <stdexcept>
#include <string>

namespace qx {

// A failure the user can act on: a bad scene file, a module that will not
// load. The text names the file, the place and the problem, e.g.
// `scene.json: surfaces[1].BaseColor: must hold three numbers`; the command
// line prints "qxhost: " before it.
class Error : public std::runtime_error {
public:
  explicit Error(const std::string &message) : std::runtime_error(message) {}
};

} // namespace qx
