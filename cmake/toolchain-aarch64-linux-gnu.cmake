# Cross build for Linux arm64 with Debian's aarch64-linux-gnu toolchain. The
# programs run here under qemu-aarch64 (user mode), which CTest uses as the
# emulator; QEMU_CPU picks the emulated processor (for example max, which
# has the SHA-1 and SHA-512 instructions, or cortex-a53, which has SHA-1 only).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZMRGEN_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZMRGEN_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZMRGEN_CROSS_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${ZMRGEN_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Runs the tests (and their discovery) under qemu-aarch64.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/run-qemu-aarch64.sh)
