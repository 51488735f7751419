# libdeflate: Debian's libdeflate-dev on Linux; for Windows the static library that
# scripts/windows-libdeflate.sh builds under VARNO_WIN_DEPS. Defines Libdeflate::Libdeflate.
find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
if(WIN32)
  find_library(LIBDEFLATE_LIBRARY NAMES deflatestatic)
else()
  find_library(LIBDEFLATE_LIBRARY NAMES deflate)
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Libdeflate REQUIRED_VARS LIBDEFLATE_LIBRARY LIBDEFLATE_INCLUDE_DIR)
if(Libdeflate_FOUND AND NOT TARGET Libdeflate::Libdeflate)
  add_library(Libdeflate::Libdeflate UNKNOWN IMPORTED)
  set_target_properties(Libdeflate::Libdeflate PROPERTIES
    IMPORTED_LOCATION "${LIBDEFLATE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LIBDEFLATE_INCLUDE_DIR}")
endif()
