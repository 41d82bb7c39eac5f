# CLI11 and nlohmann-json for a cross build. Both are header-only and come
# from the build machine's Debian packages in /usr/include, but that folder
# also holds the build machine's C library headers, which must never reach a
# cross build. So the cross build sees a folder of its own that links to the
# two libraries' header folders and to nothing else.
set(QX_HEADER_ONLY_DIR ${PROJECT_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${QX_HEADER_ONLY_DIR})
foreach(library CLI nlohmann)
  if(NOT EXISTS /usr/include/${library})
    message(FATAL_ERROR "/usr/include/${library} is missing: run scripts/install-deps")
  endif()
  file(CREATE_LINK /usr/include/${library} ${QX_HEADER_ONLY_DIR}/${library} SYMBOLIC)
endforeach()

add_library(qx_header_only_nlohmann_json INTERFACE)
target_include_directories(qx_header_only_nlohmann_json SYSTEM INTERFACE ${QX_HEADER_ONLY_DIR})
add_library(nlohmann_json::nlohmann_json ALIAS qx_header_only_nlohmann_json)

add_library(qx_header_only_cli11 INTERFACE)
target_include_directories(qx_header_only_cli11 SYSTEM INTERFACE ${QX_HEADER_ONLY_DIR})
add_library(CLI11::CLI11 ALIAS qx_header_only_cli11)
