# Cross-compiles treemon for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Every executable is linked statically, so the programs run on any arm64 Linux and under
# user-mode emulation (qemu-aarch64) on this machine without an arm64 system root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TREEMON_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER ${TREEMON_CROSS_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TREEMON_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets CTest run the test programs on this machine.
find_program(TREEMON_QEMU NAMES qemu-aarch64-static qemu-aarch64)
if(TREEMON_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TREEMON_QEMU})
endif()
