# Standalone asio is header-only and Debian ships no CMake package for it.
find_path(ASIO_INCLUDE_DIR NAMES asio.hpp)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(asio REQUIRED_VARS ASIO_INCLUDE_DIR)
if(asio_FOUND AND NOT TARGET asio::asio)
  find_package(Threads REQUIRED)
  add_library(asio::asio INTERFACE IMPORTED)
  set_target_properties(asio::asio PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${ASIO_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS "ASIO_STANDALONE;ASIO_NO_DEPRECATED"
    INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
