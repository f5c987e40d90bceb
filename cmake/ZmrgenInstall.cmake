# Installation and packaging.
#
# `cmake --install` puts the programs in bin/ and, outside Windows, their
# manual pages (gzip-compressed) in share/man/man1/ and the copyright file
# and changelog in share/doc/zmrgen/, as Debian lays them out; on Windows
# the licence and CHANGELOG.md go to share/doc/zmrgen/ as they are. CPack
# makes a Debian package of the same files for the target's architecture
# (a ZIP on Windows). Packages are reproducible: see ZmrgenCPackProject.cmake.
include(GNUInstallDirs)

set(ZMRGEN_MAINTAINER "The zmrgen developers <zmrgen@zmrgen.invalid>" CACHE STRING
    "Maintainer of the Debian package, named in its control file, changelog and copyright file")

# The programs, each with its manual page man/PROGRAM.1.
set(zmrgen_programs zmrgen zmrcheck zmrbatch)

# Folders made by the install rules are 0755 whatever the umask.
set(zmrgen_directory_permissions
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${zmrgen_directory_permissions})

install(TARGETS ${zmrgen_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The documentation files, made at build time by the zmrgen_docs target.
set(zmrgen_doc_dir ${CMAKE_BINARY_DIR}/doc)
set(zmrgen_docs_script ${CMAKE_CURRENT_LIST_DIR}/ZmrgenDebianDocs.cmake)
set(zmrgen_doc_files)
if(NOT WIN32)
  find_program(ZMRGEN_GZIP gzip REQUIRED)
  foreach(program IN LISTS zmrgen_programs)
    set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${zmrgen_doc_dir}/${program}.1.gz
      COMMAND ${CMAKE_COMMAND} -DMODE=gzip -DSOURCE=${page}
              -DOUTPUT=${zmrgen_doc_dir}/${program}.1.gz -DGZIP=${ZMRGEN_GZIP}
              -P ${zmrgen_docs_script}
      DEPENDS ${page} ${zmrgen_docs_script}
      COMMENT "Compressing the manual page ${program}.1"
      VERBATIM)
    list(APPEND zmrgen_doc_files ${zmrgen_doc_dir}/${program}.1.gz)
    install(FILES ${zmrgen_doc_dir}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  add_custom_command(
    OUTPUT ${zmrgen_doc_dir}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -DMODE=changelog -DSOURCE=${PROJECT_SOURCE_DIR}/CHANGELOG.md
            -DPACKAGE=zmrgen -DVERSION=${PROJECT_VERSION} -DMAINTAINER=${ZMRGEN_MAINTAINER}
            -DOUTPUT=${zmrgen_doc_dir}/changelog.gz -DGZIP=${ZMRGEN_GZIP}
            -P ${zmrgen_docs_script}
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${zmrgen_docs_script}
            ${CMAKE_CURRENT_LIST_DIR}/ZmrgenChangelog.cmake
    COMMENT "Making the Debian changelog from CHANGELOG.md"
    VERBATIM)
  add_custom_command(
    OUTPUT ${zmrgen_doc_dir}/copyright
    COMMAND ${CMAKE_COMMAND} -DMODE=copyright -DSOURCE=${PROJECT_SOURCE_DIR}/LICENSE
            -DPACKAGE=zmrgen -DMAINTAINER=${ZMRGEN_MAINTAINER}
            -DOUTPUT=${zmrgen_doc_dir}/copyright -P ${zmrgen_docs_script}
    DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${zmrgen_docs_script}
    COMMENT "Making the Debian copyright file from LICENSE"
    VERBATIM)
  list(APPEND zmrgen_doc_files ${zmrgen_doc_dir}/changelog.gz ${zmrgen_doc_dir}/copyright)
  install(FILES ${zmrgen_doc_dir}/changelog.gz ${zmrgen_doc_dir}/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
add_custom_target(zmrgen_docs ALL DEPENDS ${zmrgen_doc_files})
# Everything the install rules and the package need, without the tests.
add_custom_target(zmrgen_package DEPENDS ${zmrgen_programs} zmrgen_docs)

set(CPACK_PACKAGE_NAME zmrgen)
set(CPACK_PACKAGE_VENDOR "The zmrgen developers")
set(CPACK_PACKAGE_CONTACT "${ZMRGEN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ZELMOR record generator: SHA-1 and SHA-512 digests of a file")
# Lines of at most 80 columns; CPack indents each one for the control file
# and marks an empty line as a paragraph break.
set(CPACK_PACKAGE_DESCRIPTION
    "zmrgen computes a file's SHA-1 and SHA-512 digests with its own streaming
routines, prints both and writes a record of 256 uppercase hexadecimal
characters for submission to the ZELMOR blockchain, named after the first
word of the SHA-1 digest. It picks the processor's SHA instructions where
they exist (x86-64 SHA-NI, AVX2 and AVX-512; ARMv8 SHA-1 and SHA-512).

zmrcheck shows the fields of a record and checks a file against it.
zmrbatch records many files, or the files under folders, in one command.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${zmrgen_directory_permissions})

# Read by ZmrgenCPackProject.cmake when CPack runs.
find_package(Git QUIET)
set(CPACK_ZMRGEN_GIT "${GIT_EXECUTABLE}")
set(CPACK_ZMRGEN_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/ZmrgenCPackProject.cmake")

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
    # from the libraries the programs name, read when the package is made
    # (ZmrgenCrossDepends.cmake).
    set(zmrgen_program_files)
    foreach(program IN LISTS zmrgen_programs)
      list(APPEND zmrgen_program_files "$<TARGET_FILE:${program}>")
    endforeach()
    set(CPACK_ZMRGEN_PROGRAM_LIST "${CMAKE_BINARY_DIR}/CPackZmrgenPrograms.cmake")
    file(GENERATE OUTPUT ${CPACK_ZMRGEN_PROGRAM_LIST}
         CONTENT "set(CPACK_ZMRGEN_PROGRAMS \"${zmrgen_program_files}\")\n")
    set(CPACK_ZMRGEN_READELF "${CMAKE_READELF}")
  endif()
elseif(WIN32)
  set(CPACK_GENERATOR ZIP)
endif()

include(CPack)
