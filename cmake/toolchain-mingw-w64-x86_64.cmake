# Cross build for Windows x86-64 with Debian's MinGW-w64 (posix threads
# flavour). Programs built here run on Linux under Wine, which is also the
# emulator CTest uses to run the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZMRGEN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZMRGEN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZMRGEN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZMRGEN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZMRGEN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs must start on a Windows machine (or Wine) that has no MinGW
# runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Runs the tests (and their discovery) under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/run-wine.sh)
