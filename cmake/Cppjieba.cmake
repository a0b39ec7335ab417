# cppjieba::cppjieba: the header-only segmentation library with its default dictionary. The tree
# is, in order: the sdist's copy (vendor/), DUZUDAVIDA_CPPJIEBA_DIR (CMake or environment variable),
# the one scripts/fetch_deps.sh unpacked into third_party/, or the pinned tarball fetched into the
# build folder.
include(${CMAKE_CURRENT_LIST_DIR}/Dependencies.cmake)

set(_nodejieba_pin nodejieba ${DUZUDAVIDA_NODEJIEBA_VERSION} ${DUZUDAVIDA_NODEJIEBA_SHA256})
if(NOT DUZUDAVIDA_CPPJIEBA_DIR AND DEFINED ENV{DUZUDAVIDA_CPPJIEBA_DIR})
  set(DUZUDAVIDA_CPPJIEBA_DIR "$ENV{DUZUDAVIDA_CPPJIEBA_DIR}")
endif()
duzudavida_vendored(_vendored ${_nodejieba_pin})
if(SKBUILD_STATE STREQUAL "sdist" AND _vendored)
  set(DUZUDAVIDA_CPPJIEBA_DIR "${_vendored}")  # an sdist built from an sdist keeps its copy
elseif(SKBUILD_STATE STREQUAL "sdist")
  # The sdist carries the pinned tree only, never an override.
  duzudavida_fetched(_fetched ${_nodejieba_pin})
  duzudavida_vendor("${_fetched}" ${_nodejieba_pin} LICENSE package.json deps/cppjieba deps/limonp
                    dict/jieba.dict.utf8 dict/hmm_model.utf8 dict/user.dict.utf8 dict/idf.utf8 dict/stop_words.utf8)
  set(DUZUDAVIDA_CPPJIEBA_DIR "${_fetched}")
elseif(_vendored)
  if(DUZUDAVIDA_CPPJIEBA_DIR)
    message(WARNING "DUZUDAVIDA_CPPJIEBA_DIR is ignored: this source tree carries its own copy in ${_vendored}")
  endif()
  set(DUZUDAVIDA_CPPJIEBA_DIR "${_vendored}")
elseif(NOT DUZUDAVIDA_CPPJIEBA_DIR)
  duzudavida_fetched(DUZUDAVIDA_CPPJIEBA_DIR ${_nodejieba_pin})
endif()
message(STATUS "cppjieba: ${DUZUDAVIDA_CPPJIEBA_DIR}")
# The wheel carries the repository's copy of the tree's licence (pyproject.toml's license-files, read
# before any fetch); the pinned tarball cannot differ, an override tree might.
if(EXISTS "${DUZUDAVIDA_CPPJIEBA_DIR}/LICENSE")
  file(SHA256 "${DUZUDAVIDA_CPPJIEBA_DIR}/LICENSE" _fetched_licence)
  file(SHA256 "${PROJECT_SOURCE_DIR}/extern/nodejieba-${DUZUDAVIDA_NODEJIEBA_VERSION}/LICENSE" _carried_licence)
  if(NOT _fetched_licence STREQUAL _carried_licence)
    message(FATAL_ERROR "${DUZUDAVIDA_CPPJIEBA_DIR}/LICENSE differs from extern/nodejieba-${DUZUDAVIDA_NODEJIEBA_VERSION}/LICENSE, the licence the wheel carries")
  endif()
endif()

set(_cppjieba_include "${DUZUDAVIDA_CPPJIEBA_DIR}/deps")
if(NOT EXISTS "${_cppjieba_include}/cppjieba/Jieba.hpp" OR NOT EXISTS "${_cppjieba_include}/limonp/Logging.hpp")
  message(FATAL_ERROR
    "cppjieba not found under ${_cppjieba_include}: DUZUDAVIDA_CPPJIEBA_DIR must name an unpacked "
    "nodejieba@${DUZUDAVIDA_NODEJIEBA_VERSION} tree (cppjieba in deps/cppjieba, limonp in deps/limonp).")
endif()
# The five files of the default dictionary, shipped beside the module.
set(DUZUDAVIDA_DICT_DIR "${DUZUDAVIDA_CPPJIEBA_DIR}/dict")
set(DUZUDAVIDA_DICT_FILES jieba.dict.utf8 hmm_model.utf8 user.dict.utf8 idf.utf8 stop_words.utf8)

# limonp's LocalVector does not check malloc, so exhausted memory inside a cut is a null pointer
# write. The fetched tree stays as published; our build compiles a copy of that one header, made
# in the build folder, that throws std::bad_alloc instead (which reaches Python as MemoryError).
set(_patched_include "${CMAKE_BINARY_DIR}/_patched/include")
file(READ "${_cppjieba_include}/limonp/LocalVector.hpp" _local_vector)
function(_duzudavida_patch from to)
  string(FIND "${_local_vector}" "${from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "limonp/LocalVector.hpp differs from nodejieba@${DUZUDAVIDA_NODEJIEBA_VERSION}'s: no \"${from}\"")
  endif()
  string(REPLACE "${from}" "${to}" patched "${_local_vector}")
  set(_local_vector "${patched}" PARENT_SCOPE)
endfunction()
_duzudavida_patch("assert(ptr_);" "if (ptr_ == NULL) { init_(); throw std::bad_alloc(); }")
_duzudavida_patch("assert(next);" "if (next == NULL) throw std::bad_alloc();")
_duzudavida_patch("#include <assert.h>" "#include <assert.h>\n#include <new>")
file(CONFIGURE OUTPUT "${_patched_include}/limonp/LocalVector.hpp" CONTENT "${_local_vector}" @ONLY)

add_library(cppjieba INTERFACE)
add_library(cppjieba::cppjieba ALIAS cppjieba)
# SYSTEM: the library's own warnings are not ours to fix. The patched header comes first.
target_include_directories(cppjieba SYSTEM INTERFACE "${_patched_include}" "${_cppjieba_include}")
# The library is always built as released, without its assertions: our file checks stand in for
# the fatal ones, and what only an assertion refuses (an empty stop-word file) loads without harm.
target_compile_definitions(cppjieba INTERFACE NDEBUG)
