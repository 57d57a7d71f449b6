# Install rules for POSIX systems (`cmake --install build --prefix /usr/local`):
#   lib/libzel_api.so.1.0.0 (soname libzel_api.so.1) and the libzel_api.so link
#   include/zel_api.h, include/zel_api_version.h
#   bin/zelctl, bin/zel-unit-sim
#   lib/cmake/zel_api/   find_package(zel_api) gives zel_api::zel_api, with a version file
#   lib/pkgconfig/zel_api.pc
#   share/zel_api/wireshark/zel.lua   the Wireshark dissector of the unit's protocol
# The clock planner (include/zel_clock/, the static zel_clock) is built into zelctl and the
# benchmarks; it is not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS zel_api EXPORT zel_apiTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/zel_api.h ${ZEL_GENERATED_INCLUDE_DIR}/zel_api_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The programs find the library relative to themselves, so that an installed tree can be moved.
file(RELATIVE_PATH ZEL_BIN_TO_LIB /x/${CMAKE_INSTALL_BINDIR} /x/${CMAKE_INSTALL_LIBDIR})
foreach(program zelctl zel-unit-sim)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${ZEL_BIN_TO_LIB}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/wireshark/zel.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/zel_api/wireshark)

set(ZEL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zel_api)
install(EXPORT zel_apiTargets NAMESPACE zel_api:: DESTINATION ${ZEL_CMAKE_PACKAGE_DIR})
file(WRITE ${PROJECT_BINARY_DIR}/zel_apiConfig.cmake
     "include(\${CMAKE_CURRENT_LIST_DIR}/zel_apiTargets.cmake)\n")
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zel_apiConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zel_apiConfig.cmake ${PROJECT_BINARY_DIR}/zel_apiConfigVersion.cmake
        DESTINATION ${ZEL_CMAKE_PACKAGE_DIR})

# pkg-config: prefix-relative so that the installed tree can be moved (pcfiledir).
file(RELATIVE_PATH ZEL_PC_UP /x/${CMAKE_INSTALL_LIBDIR}/pkgconfig /x)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zel_api.pc.in ${PROJECT_BINARY_DIR}/zel_api.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zel_api.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

include(ZelDebian)
