# xxhash::xxhash: xxHash's header, used inline. The repository carries xxHash 0.8.1's single header
# with its BSD-2-Clause licence in extern/ (the release the tables were measured with; 0.8.2 trips
# GCC 12's -Warray-bounds at -O3 inside its inlined reads, a false positive, but warnings are errors
# here). Carrying 200 kB of one header costs less than fetching it: no build step then needs pip or
# a network for it, whichever front end builds. DUZUDAVIDA_XXHASH_DIR (CMake or environment
# variable) names another folder holding xxhash.h, such as /usr/include for a system copy.
set(_xxhash_bundled "${PROJECT_SOURCE_DIR}/extern/xxhash-0.8.1")
if(NOT DUZUDAVIDA_XXHASH_DIR AND DEFINED ENV{DUZUDAVIDA_XXHASH_DIR})
  set(DUZUDAVIDA_XXHASH_DIR "$ENV{DUZUDAVIDA_XXHASH_DIR}")
endif()
if(DUZUDAVIDA_XXHASH_DIR)
  set(_xxhash_include "${DUZUDAVIDA_XXHASH_DIR}")
else()
  set(_xxhash_include "${_xxhash_bundled}")
endif()
if(NOT EXISTS "${_xxhash_include}/xxhash.h")
  message(FATAL_ERROR "xxhash.h not found in ${_xxhash_include}: DUZUDAVIDA_XXHASH_DIR must name a folder holding it")
endif()
message(STATUS "xxHash: ${_xxhash_include}")

add_library(xxhash INTERFACE)
add_library(xxhash::xxhash ALIAS xxhash)
# SYSTEM: the library's own warnings are not ours to fix.
target_include_directories(xxhash SYSTEM INTERFACE "${_xxhash_include}")
