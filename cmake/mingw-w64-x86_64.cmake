# Cross-builds the library and its programs for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64). Use with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake.
#
# The posix thread flavour of the compilers is used because the simulator and the tests need
# std::thread; every binary links the C, C++ and thread run-times statically (-static, set in
# cmake/ZelWindows.cmake for every MinGW build), so ZEL_API.dll and the programs need no MinGW DLL
# beside them and import only Windows system DLLs.
# When wine is installed, programs built here run through it (tests run by CTest do too).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${ZEL_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${ZEL_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "ranlib")

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)


# Debian's wine64 package puts the loader here; WINEPREFIX and WINEDEBUG come from the environment
# (scripts/test-windows.sh sets them).
find_program(ZEL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ZEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEL_WINE})
endif()
