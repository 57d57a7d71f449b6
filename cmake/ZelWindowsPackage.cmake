# The Windows zip (CPack ZIP generator; `cmake --build build-windows --target package`):
#   ZEL_API.dll, zelctl.exe, zel-unit-sim.exe   the library and the programs, side by side
#   include/zel_api.h, zel_api_version.h        the header and its version macros
#   lib/ZEL_API.dll.a                           import library for MinGW-w64 and clang
#   lib/ZEL_API.def                             export list; MSVC makes its import library from it
#   README.md
#   share/zel_api/wireshark/zel.lua             the Wireshark dissector of the unit's protocol
# Binaries go in stripped of their debugging information.

install(TARGETS zel_api RUNTIME DESTINATION . ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/src/api/zel_api.def DESTINATION lib RENAME ZEL_API.def)
install(FILES ${PROJECT_SOURCE_DIR}/include/zel_api.h ${ZEL_GENERATED_INCLUDE_DIR}/zel_api_version.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/wireshark/zel.lua DESTINATION share/zel_api/wireshark)
foreach(program zelctl zel-unit-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION .)
  endif()
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ZEL_API)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME ZEL_API-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
