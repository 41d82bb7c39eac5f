# Writes the source that holds the version qxhost reports: the project's
# version, and in a git checkout `git describe --always --dirty` after it.
# Run at every build (not only at configure time), it rewrites the file only
# when the text changed, so a build with nothing new compiles nothing.
#
#   cmake -DVERSION=0.3.0 -DSOURCE_DIR=... -DOUTPUT=.../version.cpp -P version-source.cmake
set(text "${VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty
                  WORKING_DIRECTORY "${SOURCE_DIR}"
                  OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0 AND NOT described STREQUAL "")
    set(text "${VERSION} (git ${described})")
  endif()
endif()

set(content "// Generated at build time by cmake/version-source.cmake: do not edit.
#include \"version.h\"

namespace qx::cli {

const char *versionText() { return \"${text}\"; }

} // namespace qx::cli
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
