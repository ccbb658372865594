# Cross-builds the native Windows executable (x86-64) with Debian's mingw-w64
# compilers and runs what it builds under Wine.
#
#   cmake -S . -B build/windows -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake
#
# The posix thread model is needed: GoogleTest's use of std::mutex does not
# build with the win32 one. Everything is linked statically, so the .exe
# needs no DLL beyond those that every Windows machine has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triplet x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${mingw_triplet}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triplet}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triplet}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine. Debian installs the 64-bit loader outside PATH.
find_program(RIRAVUVAVU_WINE NAMES wine64 wine HINTS /usr/lib/wine)
find_program(RIRAVUVAVU_WINESERVER NAMES wineserver HINTS /usr/lib/wine)
if(RIRAVUVAVU_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RIRAVUVAVU_WINE})
endif()
