# Cross-builds the module as the 32-bit Windows library the real host loads,
# and qxhost.exe, the stand-in host's core, to run it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# SSE2 arithmetic instead of the x87 default: x87 keeps intermediates in
# extended precision, so its results differ from the x86-64 build's. The
# library therefore needs a processor with SSE2.
#
# A 32-bit Windows caller may enter with the stack aligned to 4 bytes only,
# where GCC assumes 16; code that spills SSE registers to an aligned slot
# would then fault. With an incoming boundary of 4 bytes every function that
# needs more realigns its own frame, so every entry the host calls, and every
# host callback the module calls back, is safe at any alignment.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
