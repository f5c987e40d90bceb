# Installation and packaging.
#
# `cmake --install` puts the tool in bin/ and, outside Windows, its manual
# page in share/man/man1/. CPack makes a Debian package of the same files
# for the target's architecture.
include(GNUInstallDirs)

install(TARGETS zmrgen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/man/zmrgen.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME zmrgen)
set(CPACK_PACKAGE_VENDOR "The zmrgen developers")
set(CPACK_PACKAGE_CONTACT "The zmrgen developers <zmrgen@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ZELMOR blockchain record generator: SHA-1 and SHA-512 of a file in a 256-character record")
set(CPACK_PACKAGE_DESCRIPTION
    "zmrgen computes a file's SHA-1 and SHA-512 digests with its own streaming \
routines, prints both and writes a record of 256 uppercase hexadecimal \
characters for submission to the ZELMOR blockchain.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Debian's names for the target architectures built here.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    # The run-time libraries and their versions, as dpkg-shlibdeps finds them.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    # dpkg-shlibdeps knows only the host's libraries: the dependencies come
    # from the libraries the tool names, read when the package is made.
    set(CPACK_ZMRGEN_TOOL "${CMAKE_BINARY_DIR}/zmrgen")
    set(CPACK_ZMRGEN_READELF "${CMAKE_READELF}")
    set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/ZmrgenCrossDepends.cmake")
  endif()
elseif(WIN32)
  set(CPACK_GENERATOR ZIP)
endif()

include(CPack)
