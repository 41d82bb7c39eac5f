# Turns a file into a C++ source that gives its bytes, unchanged, through one
# function: std::string_view FUNCTION() in namespace qx. Run at build time as
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DFUNCTION=name -P embed-file.cmake
# It needs nothing but CMake, so a cross build embeds the same way.
foreach(variable INPUT OUTPUT FUNCTION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "embed-file.cmake: -D${variable}=... is missing")
  endif()
endforeach()

file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Sixteen bytes a line: "0x7b, 0x0a, ..."
set(bytes "")
set(offset 0)
while(offset LESS digits)
  string(SUBSTRING "${hex}" ${offset} 32 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " chunk "${chunk}")
  string(APPEND bytes "    ${chunk}\n")
  math(EXPR offset "${offset} + 32")
endwhile()
get_filename_component(name ${INPUT} NAME)

# The array has one byte more than the file, so that an empty file still
# gives a valid array; the view leaves it out.
file(WRITE ${OUTPUT}
"// ${name}, embedded by cmake/embed-file.cmake at build time. Do not edit:
// change ${name} instead.
#include <string_view>

namespace qx {

std::string_view ${FUNCTION}() {
  static const unsigned char bytes[${size} + 1] = {
${bytes}  };
  return {reinterpret_cast<const char *>(bytes), ${size}};
}

} // namespace qx
")
