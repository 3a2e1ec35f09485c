# Finds CRoaring and detects which generation of its C interface is present. When it is missing,
# appends `roaring` to VOSTREL_MISSING and stops.
#
# Defines the interface target `vostrel_roaring`, which carries the library and the
# feature macros read by src/index/bitmap.hpp:
#   VOSTREL_ROARING_HAS_ADD_BULK            roaring_bitmap_add_bulk with roaring_bulk_context_t
#   VOSTREL_ROARING_NEW_ITERATOR            roaring_iterator_init / roaring_uint32_iterator_advance
#
# VOSTREL_ROARING_AMALGAMATION may name a directory holding an amalgamated roaring.c and
# roaring.h (scripts/roaring_amalgamation.sh fetches CRoaring 4.6.1's); they are then compiled into
# the module, with hidden symbols, instead of linking the system library.

include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

set(VOSTREL_ROARING_AMALGAMATION "" CACHE PATH "Directory with an amalgamated roaring.c/roaring.h")

add_library(vostrel_roaring INTERFACE)

if(VOSTREL_ROARING_AMALGAMATION)
  foreach(file roaring.c roaring.h)
    if(NOT EXISTS "${VOSTREL_ROARING_AMALGAMATION}/${file}")
      message(FATAL_ERROR "VOSTREL_ROARING_AMALGAMATION=${VOSTREL_ROARING_AMALGAMATION} holds no ${file}; "
                          "bash scripts/roaring_amalgamation.sh <dir> fetches roaring.c and roaring.h")
    endif()
  endforeach()
  add_library(vostrel_roaring_amalgamation STATIC "${VOSTREL_ROARING_AMALGAMATION}/roaring.c")
  target_include_directories(vostrel_roaring_amalgamation SYSTEM PUBLIC "${VOSTREL_ROARING_AMALGAMATION}")
  target_link_libraries(vostrel_roaring INTERFACE vostrel_roaring_amalgamation)
  target_compile_definitions(vostrel_roaring INTERFACE VOSTREL_ROARING_AMALGAMATED=1)
  set(_roaring_header "roaring.h")
  set(_roaring_include "${VOSTREL_ROARING_AMALGAMATION}")
  set(_roaring_lib "")
else()
  find_package(roaring CONFIG QUIET)
  if(TARGET roaring::roaring)
    target_link_libraries(vostrel_roaring INTERFACE roaring::roaring)
    get_target_property(_roaring_include roaring::roaring INTERFACE_INCLUDE_DIRECTORIES)
    set(_roaring_lib roaring::roaring)
  else()
    find_path(ROARING_INCLUDE_DIR roaring/roaring.h)
    find_library(ROARING_LIBRARY roaring)
    if(NOT ROARING_INCLUDE_DIR OR NOT ROARING_LIBRARY)
      # Reported with any other missing dependency by the caller (VOSTREL_MISSING).
      list(APPEND VOSTREL_MISSING roaring)
      return()
    endif()
    target_include_directories(vostrel_roaring SYSTEM INTERFACE "${ROARING_INCLUDE_DIR}")
    target_link_libraries(vostrel_roaring INTERFACE "${ROARING_LIBRARY}")
    set(_roaring_include "${ROARING_INCLUDE_DIR}")
    set(_roaring_lib "${ROARING_LIBRARY}")
  endif()
  set(_roaring_header "roaring/roaring.h")
endif()

function(_vostrel_roaring_check var body)
  cmake_push_check_state(RESET)
  if(_roaring_include)
    set(CMAKE_REQUIRED_INCLUDES ${_roaring_include})
  endif()
  set(CMAKE_REQUIRED_QUIET ON)
  # Compile only: the interface generation shows in the declarations.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  check_cxx_source_compiles("#include <${_roaring_header}>\n${body}" ${var})
  cmake_pop_check_state()
  set(${var} ${${var}} PARENT_SCOPE)
endfunction()

_vostrel_roaring_check(VOSTREL_ROARING_HAS_ADD_BULK
  "void f(roaring_bitmap_t *r) { roaring_bulk_context_t c = {}; roaring_bitmap_add_bulk(r, &c, 1); }")
_vostrel_roaring_check(VOSTREL_ROARING_NEW_ITERATOR
  "int f(const roaring_bitmap_t *r) { roaring_uint32_iterator_t it; roaring_iterator_init(r, &it); return roaring_uint32_iterator_advance(&it); }")

_vostrel_roaring_check(VOSTREL_ROARING_HAS_MEMORY_HOOK
  "void f() { roaring_memory_t m = {}; roaring_init_memory_hook(m); }")

foreach(feature HAS_ADD_BULK NEW_ITERATOR HAS_MEMORY_HOOK)
  if(VOSTREL_ROARING_${feature})
    target_compile_definitions(vostrel_roaring INTERFACE VOSTREL_ROARING_${feature}=1)
  endif()
endforeach()
message(STATUS "CRoaring: header ${_roaring_header}; add_bulk=${VOSTREL_ROARING_HAS_ADD_BULK} new_iterator=${VOSTREL_ROARING_NEW_ITERATOR} memory_hook=${VOSTREL_ROARING_HAS_MEMORY_HOOK}")
