# Finds the Intel Decimal Floating-Point Math Library (Debian: libintelrdfpmath-dev).
#
# Provides the imported target IntelRDFPMath::bid for the static archive libbidgcc000.a,
# the build whose functions take their arguments by value and get the rounding mode and
# the status-flag word passed on every call. Configuration stops when it is missing.
#
# With IntelRDFPMath_SOURCE_DIR set to the LIBRARY folder of the library's sources (the Windows
# build fetches Debian's source package with scripts/fetch-decimal-source.sh), the same
# configuration is compiled here instead, from only the files the clock planner links: decimal128
# arithmetic, comparisons, conversions to and from integers, binary floating point and text.
if(IntelRDFPMath_SOURCE_DIR)
  if(NOT EXISTS ${IntelRDFPMath_SOURCE_DIR}/src/bid128.c)
    message(FATAL_ERROR "IntelRDFPMath_SOURCE_DIR=${IntelRDFPMath_SOURCE_DIR} holds no src/bid128.c")
  endif()
  if(NOT TARGET IntelRDFPMath::bid)
    set(_bid_sources)
    foreach(f bid128 bid128_2_str_tables bid128_add bid128_compare bid128_div bid128_fma bid128_mul
              bid128_noncomp bid128_rem bid128_scalb bid128_string bid128_to_int32 bid128_to_int64
              bid128_to_uint32 bid128_to_uint64 bid64_to_bid128 bid_binarydecimal bid_convert_data
              bid_decimal_data bid_from_int bid_round)
      list(APPEND _bid_sources ${IntelRDFPMath_SOURCE_DIR}/src/${f}.c)
    endforeach()
    add_library(zel_bid STATIC ${_bid_sources})
    target_include_directories(zel_bid SYSTEM PUBLIC ${IntelRDFPMath_SOURCE_DIR}/src)
    target_compile_definitions(zel_bid PRIVATE
      $<IF:$<BOOL:${WIN32}>,WINDOWS,LINUX> efi2 USE_COMPILER_F128_TYPE=0 USE_COMPILER_F80_TYPE=0
      DECIMAL_CALL_BY_REFERENCE=0 DECIMAL_GLOBAL_ROUNDING=0 DECIMAL_GLOBAL_EXCEPTION_FLAGS=0)
    # Third-party code: its own warnings are not ours to fix.
    target_compile_options(zel_bid PRIVATE -w)
    set_target_properties(zel_bid PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
    add_library(IntelRDFPMath::bid ALIAS zel_bid)
  endif()
  set(IntelRDFPMath_FOUND TRUE)
  return()
endif()

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
