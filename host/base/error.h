// The error the host and its commands report to the user.
#pragma once

#include <exception>
#include <new>
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

// Runs `step`, one step of `doing` the file `name` ("read the frame"); any
// failure but an Error comes out as one naming the file:
// "NAME: cannot read the frame: out of memory", "...: <the library's reason>".
template <class Step>
auto namingFailures(const std::string &name, const char *doing, Step step) -> decltype(step()) {
  try {
    return step();
  } catch (const Error &) {
    throw;
  } catch (const std::bad_alloc &) {
    throw Error(name + ": cannot " + doing + ": out of memory");
  } catch (const std::exception &e) {
    throw Error(name + ": cannot " + doing + ": " + e.what());
  }
}

} // namespace qx
