# The Debian package: everything `cmake --install` puts in place, under /usr.
#   cd build && cpack -G DEB        (or: cmake --build build --target package)
# gives zel-api_<version>_<arch>.deb: the library (versioned soname and its links), the header,
# zelctl and zel-unit-sim, their man pages, zelctl's bash completion, the CMake package and the
# pkg-config file. Binaries go in stripped; the Depends field comes from dpkg-shlibdeps when it is
# installed (Debian: dpkg-dev), else from ZEL_DEB_DEPENDS.
set(ZEL_DEB_MAINTAINER "zel_api developers <zel-api@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(ZEL_DEB_DEPENDS "libc6, libstdc++6, libgcc-s1"
    CACHE STRING "Depends field of the Debian package when dpkg-shlibdeps is not at hand")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel-api)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zel_api developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "C library, tools and simulator for fibre-optic test units")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zel_api drives fibre-optic test units (VOAs, optical switches, power\n"
    "monitors, EEPROM calibration records) over TCP port 6653 through a plain C\n"
    "interface. The package holds the shared library and its header, the CMake\n"
    "package and pkg-config file for building against it, the zelctl\n"
    "command-line host with its bash completion, and zel-unit-sim, a simulated\n"
    "unit for trying all of it without hardware.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
find_program(ZEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEL_DPKG_SHLIBDEPS)
  # The programs' own library is found through their $ORIGIN run path in the staged tree.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ZEL_DEB_DEPENDS}")
endif()
# A shlibs file for packages that link the library, and the ldconfig trigger that goes with it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${PROJECT_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/triggers)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
include(CPack)
