# What a user installs: the install rules and the Linux packages (CPack: a
# .deb and a .tar.gz) of the native build, and the Windows zip of the cross
# build (package-win32).

if(NOT CMAKE_CROSSCOMPILING)
  # An installed qxhost looks for its module in ../lib/quintessalux/
  # (tools/qxhost/command.cpp); the layout is fixed so that it finds it.
  install(TARGETS qxhost RUNTIME DESTINATION bin)
  install(TARGETS quintess LIBRARY DESTINATION lib/quintessalux)
  install(FILES README.md LICENSE DESTINATION share/doc/quintessalux)
  # The README's pictures are under docs/, beside it as in the source tree.
  install(DIRECTORY docs DESTINATION share/doc/quintessalux)
  install(DIRECTORY examples DESTINATION share/quintessalux)

  set(CPACK_PACKAGE_NAME quintessalux)
  set(CPACK_PACKAGE_VENDOR "the Quintessalux authors")
  set(CPACK_PACKAGE_CONTACT "the Quintessalux authors")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "pixel filter plug-in that recolours rendered images surface by surface")
  string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Quintessalux is a pixel filter plug-in for a 3D animation and rendering host. It "
    "recolours rendered images surface by surface: every surface carries a special-buffer "
    "value, each distinct value selects a stack of layers, and each layer blends its colour "
    "into the pixel in one of ten modes, weighted by the renderer's per-pixel buffers. This "
    "package holds the module for Linux (lib/quintessalux/quintess.p) and qxhost, the "
    "stand-in host's command line: it renders OpenEXR frames and sequences through a "
    "scene's layer stacks, plays and shows the options panel, and checks the module.")
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
  set(CPACK_GENERATOR "DEB;TGZ")
  # The build keeps its debugging symbols; the packages do not.
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGE_FILE_NAME quintessalux-${PROJECT_VERSION}-linux-x86_64)
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
  # quintessalux_<version>_amd64.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  # The runtime packages of the libraries qxhost links (OpenEXR, libpng,
  # FLTK, libdeflate, ...), as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  include(CPack)
elseif(WIN32)
  # quintessalux-<version>-win32.zip: the library, qxhost.exe to check it,
  # the README, the licence and how to install it, in a folder of that name.
  set(QX_WIN32_NAME quintessalux-${PROJECT_VERSION}-win32)
  set(QX_WIN32_STAGE ${PROJECT_BINARY_DIR}/package-win32/${QX_WIN32_NAME})
  set(QX_VERSION ${PROJECT_VERSION})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/INSTALL-WINDOWS.txt
                 ${PROJECT_BINARY_DIR}/package-win32/INSTALL-WINDOWS.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/package-win32/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  add_custom_target(package-win32
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${QX_WIN32_STAGE} ${PROJECT_BINARY_DIR}/${QX_WIN32_NAME}.zip
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QX_WIN32_STAGE}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quintess> $<TARGET_FILE:qxhost>
            ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/package-win32/INSTALL-WINDOWS.txt
            ${PROJECT_BINARY_DIR}/package-win32/LICENSE.txt ${QX_WIN32_STAGE}
    COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_BINARY_DIR}/package-win32
            ${CMAKE_COMMAND} -E tar cf ${PROJECT_BINARY_DIR}/${QX_WIN32_NAME}.zip --format=zip
            ${QX_WIN32_NAME}
    COMMAND ${CMAKE_COMMAND} -E echo "Wrote ${PROJECT_BINARY_DIR}/${QX_WIN32_NAME}.zip"
    DEPENDS quintess qxhost
    VERBATIM)
endif()
