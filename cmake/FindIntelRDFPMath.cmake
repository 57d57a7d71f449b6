# Finds the Intel Decimal Floating-Point Math Library (Debian: libintelrdfpmath-dev).
#
# Provides the imported target IntelRDFPMath::bid for the static archive libbidgcc000.a,
# the build whose functions take their arguments by value and get the rounding mode and
# the status-flag word passed on every call. Configuration stops when it is missing.

find_path(IntelRDFPMath_INCLUDE_DIR NAMES bid_functions.h bid_conf.h)
find_library(IntelRDFPMath_LIBRARY NAMES libbidgcc000.a bidgcc000)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(IntelRDFPMath
  REQUIRED_VARS IntelRDFPMath_LIBRARY IntelRDFPMath_INCLUDE_DIR
  REASON_FAILURE_MESSAGE
    "The Intel decimal floating-point library (libbidgcc000.a and bid_functions.h) was not found. Install the Debian package libintelrdfpmath-dev: apt-get install libintelrdfpmath-dev")

if(IntelRDFPMath_FOUND AND NOT TARGET IntelRDFPMath::bid)
  add_library(IntelRDFPMath::bid STATIC IMPORTED)
  set_target_properties(IntelRDFPMath::bid PROPERTIES
    IMPORTED_LOCATION "${IntelRDFPMath_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${IntelRDFPMath_INCLUDE_DIR}")
endif()

mark_as_advanced(IntelRDFPMath_INCLUDE_DIR IntelRDFPMath_LIBRARY)
