# Finds the Boost >= 1.81 headers (boost::unordered_flat_map, small_vector) and defines the target
# Boost::headers: the installed CMake package, or a plain header tree named by BOOST_ROOT (as wheel
# builds use). When they are missing, appends `boost` to VOSTREL_MISSING and stops.

find_package(Boost 1.81 QUIET CONFIG COMPONENTS headers)
if(NOT Boost_FOUND)
  find_path(VOSTREL_BOOST_INCLUDE boost/unordered/unordered_flat_map.hpp HINTS "$ENV{BOOST_ROOT}")
  if(NOT VOSTREL_BOOST_INCLUDE)
    list(APPEND VOSTREL_MISSING boost)  # reported by the caller with any other missing dependency
    return()
  endif()
  add_library(Boost::headers INTERFACE IMPORTED)
  target_include_directories(Boost::headers SYSTEM INTERFACE "${VOSTREL_BOOST_INCLUDE}")
endif()
