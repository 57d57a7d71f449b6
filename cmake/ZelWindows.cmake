# Windows builds (MinGW-w64 cross builds from Debian, see cmake/mingw-w64-x86_64.cmake).
#
# The header-only libraries that zelctl and the simulator use (CLI11, nlohmann/json, toml++) are taken
# from the build machine's include directory, one folder each, so that nothing else of the host's
# C library headers gets onto the Windows include path. GoogleTest is built from its sources
# (Debian: /usr/src/googletest) with the same compiler as the tests.

if(MINGW)
  # C99 printf and scanf (%zu, %lld, two-digit exponents) instead of the older msvcrt forms, so
  # that the programs print what they print on Linux.
  add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
  # The C, C++ and thread run-times linked in: ZEL_API.dll and the programs import only Windows
  # system DLLs and need no MinGW DLL beside them.
  add_link_options(-static)
endif()

if(NOT CMAKE_CROSSCOMPILING)
  return()  # a native Windows build finds its packages the usual way
endif()

set(ZEL_HOST_INCLUDE_ROOT /usr/include CACHE PATH "Where the build machine keeps CLI11 and nlohmann/json")
set(_zel_staged ${CMAKE_BINARY_DIR}/host-headers)

function(_zel_stage_headers target folder)
  if(TARGET ${target} OR NOT EXISTS ${ZEL_HOST_INCLUDE_ROOT}/${folder})
    return()
  endif()
  file(MAKE_DIRECTORY ${_zel_staged}/${folder})
  if(NOT EXISTS ${_zel_staged}/${folder}/${folder})
    file(CREATE_LINK ${ZEL_HOST_INCLUDE_ROOT}/${folder} ${_zel_staged}/${folder}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_zel_staged}/${folder}
                                             INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_zel_staged}/${folder})
endfunction()

_zel_stage_headers(CLI11::CLI11 CLI)
_zel_stage_headers(nlohmann_json::nlohmann_json nlohmann)
_zel_stage_headers(tomlplusplus::tomlplusplus toml++)
if(TARGET CLI11::CLI11)
  set(ZEL_CLI11_INCLUDE_DIR ${_zel_staged}/CLI CACHE PATH "CLI11 headers (staged)")
endif()

# The HTTP library of zelctl serve: the single header httplib.h of Debian's source package
# (scripts/fetch-httplib-source.sh), compiled into zelctl.exe without TLS; Winsock is its only import.
set(ZEL_HTTPLIB_SOURCE_DIR "" CACHE PATH "Folder with httplib.h from the cpp-httplib source package")
if(ZEL_BUILD_TOOLS AND NOT TARGET zel_httplib)
  if(NOT EXISTS ${ZEL_HTTPLIB_SOURCE_DIR}/httplib.h)
    message(FATAL_ERROR "httplib.h not found in ZEL_HTTPLIB_SOURCE_DIR='${ZEL_HTTPLIB_SOURCE_DIR}' "
                        "(scripts/fetch-httplib-source.sh fetches it)")
  endif()
  file(MAKE_DIRECTORY ${_zel_staged}/httplib)
  file(COPY_FILE ${ZEL_HTTPLIB_SOURCE_DIR}/httplib.h ${_zel_staged}/httplib/httplib.h ONLY_IF_DIFFERENT)
  add_library(zel_httplib INTERFACE)
  target_include_directories(zel_httplib SYSTEM INTERFACE ${_zel_staged}/httplib)
  target_link_libraries(zel_httplib INTERFACE ws2_32)
endif()

if(ZEL_BUILD_TESTS AND NOT TARGET GTest::gtest)
  set(ZEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
  if(NOT EXISTS ${ZEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found at ${ZEL_GOOGLETEST_SOURCE} (Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${ZEL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
  # Test programs are listed when CTest runs (through wine), not when they are built.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
