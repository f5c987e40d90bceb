# Makes GoogleTest available as GTest::gtest and GTest::gtest_main.
#
# A native build uses the installed package. A cross build cannot link the
# host's libraries, so it compiles GoogleTest from its sources (Debian's
# googletest package ships them in /usr/src/googletest) with the cross
# compiler, once per build directory.
set(ZMRGEN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, compiled in when no installed GoogleTest fits the target")

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()

if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${ZMRGEN_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install it, or point ZMRGEN_GTEST_SOURCE_DIR at its sources")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${ZMRGEN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
