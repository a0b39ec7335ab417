# xxhash::xxhash: xxHash's header, used inline. The folder holding xxhash.h is, in order: the sdist's
# copy (vendor/), DUZUDAVIDA_XXHASH_DIR (CMake or environment variable; /usr/include names a system
# copy), the xxhash sdist scripts/fetch_deps.sh unpacked into third_party/, or that sdist fetched
# into the build folder. No system package is needed.
include(${CMAKE_CURRENT_LIST_DIR}/Dependencies.cmake)

set(_xxhash_pin xxhash ${DUZUDAVIDA_XXHASH_VERSION} ${DUZUDAVIDA_XXHASH_SHA256})
if(NOT DUZUDAVIDA_XXHASH_DIR AND DEFINED ENV{DUZUDAVIDA_XXHASH_DIR})
  set(DUZUDAVIDA_XXHASH_DIR "$ENV{DUZUDAVIDA_XXHASH_DIR}")
endif()
set(_xxhash_instead "Or set DUZUDAVIDA_XXHASH_DIR (a CMake or environment variable) to a folder holding xxhash.h")
duzudavida_vendored(_vendored ${_xxhash_pin})
if(SKBUILD_STATE STREQUAL "sdist" AND _vendored)
  set(_xxhash_include "${_vendored}/deps/xxhash")  # an sdist built from an sdist keeps its copy
elseif(SKBUILD_STATE STREQUAL "sdist")
  duzudavida_fetched(_fetched pypi ${_xxhash_pin} "${_xxhash_instead}")
  duzudavida_vendor("${_fetched}" ${_xxhash_pin} LICENSE deps/xxhash/LICENSE deps/xxhash/xxhash.h)
  set(_xxhash_include "${_fetched}/deps/xxhash")
elseif(_vendored)
  if(DUZUDAVIDA_XXHASH_DIR)
    message(WARNING "DUZUDAVIDA_XXHASH_DIR is ignored: this source tree carries its own copy in ${_vendored}")
  endif()
  set(_xxhash_include "${_vendored}/deps/xxhash")
elseif(DUZUDAVIDA_XXHASH_DIR)
  set(_xxhash_include "${DUZUDAVIDA_XXHASH_DIR}")
else()
  duzudavida_fetched(_fetched pypi ${_xxhash_pin} "${_xxhash_instead}")
  set(_xxhash_include "${_fetched}/deps/xxhash")
endif()
if(NOT EXISTS "${_xxhash_include}/xxhash.h")
  message(FATAL_ERROR "xxhash.h not found in ${_xxhash_include}. ${_xxhash_instead}.")
endif()
message(STATUS "xxHash: ${_xxhash_include}")
# Its licence travels with the module it is compiled into (absent beside a system copy).
set(DUZUDAVIDA_XXHASH_LICENSE "${_xxhash_include}/LICENSE")

add_library(xxhash INTERFACE)
add_library(xxhash::xxhash ALIAS xxhash)
# SYSTEM: the library's own warnings are not ours to fix.
target_include_directories(xxhash SYSTEM INTERFACE "${_xxhash_include}")
