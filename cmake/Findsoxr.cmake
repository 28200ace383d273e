# libsoxr ships a pkg-config file but no CMake package.
find_path(SOXR_INCLUDE_DIR NAMES soxr.h)
find_library(SOXR_LIBRARY NAMES soxr)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(soxr REQUIRED_VARS SOXR_LIBRARY SOXR_INCLUDE_DIR)
if(soxr_FOUND AND NOT TARGET soxr::soxr)
  add_library(soxr::soxr UNKNOWN IMPORTED)
  set_target_properties(soxr::soxr PROPERTIES
    IMPORTED_LOCATION "${SOXR_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SOXR_INCLUDE_DIR}")
endif()
