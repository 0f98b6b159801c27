# Cross-compiles treemon for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix flavour of the compiler is used because std::thread needs its threading model. Every
# executable is linked statically, so treemon.exe and the test programs run with nothing installed
# beside them (under Wine or on a bare Windows machine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TREEMON_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TREEMON_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TREEMON_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TREEMON_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TREEMON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Lets CTest run the Windows test programs on this machine.
find_program(TREEMON_WINE NAMES wine64 wine)
if(TREEMON_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TREEMON_WINE})
endif()
