# `cpack --config <build>/CPackConfig.cmake` or `cmake --build <build> --target package`: a
# Debian package of everything `cmake --install` puts in place (a zip for the Windows build).
set(CPACK_VERBATIM_VARIABLES ON)  # values reach cpack as written here

set(JS_PACKAGE_MAINTAINER "JogShuttle developers" CACHE STRING
    "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME jogshuttle)
set(CPACK_PACKAGE_VENDOR "JogShuttle developers")
set(CPACK_PACKAGE_CONTACT "${JS_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "finds the serial port a jog/shuttle controller is on")
# Debian wants the long description in lines of under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "jsprobe tries the serial ports COM1 to COM7 and exits with the number of the"
       "port a jog/shuttle controller answers on, or 0."
       "Also in the package: the controller simulator jssim and the other tools, the"
       "link library (static, with its headers and a CMake package for find_package)"
       "and the manual pages.")
set(CPACK_STRIP_FILES ON)  # the programs only: CMake never strips a static library

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${JS_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # jogshuttle_<version>_<arch>.deb
  # Our own libraries are linked in statically; what remains is the C and C++ runtime.
  find_program(JS_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(JS_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
  endif()
endif()

# `package_source` packs the sources only, never build trees.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "\\.swp$"
    "^${PROJECT_SOURCE_DIR}/build/" "^${PROJECT_SOURCE_DIR}/out/")

include(CPack)
