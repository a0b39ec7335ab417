# cppjieba::cppjieba: the header-only segmentation library, from the fetched nodejieba tree.
set(_cppjieba_include "${DUZUDAVIDA_CPPJIEBA_DIR}/deps")
if(NOT EXISTS "${_cppjieba_include}/cppjieba/Jieba.hpp" OR NOT EXISTS "${_cppjieba_include}/limonp/Logging.hpp")
  message(FATAL_ERROR
    "cppjieba not found under ${_cppjieba_include}. Run scripts/fetch_deps.sh, "
    "or set DUZUDAVIDA_CPPJIEBA_DIR to a nodejieba 2.6.0 tree.")
endif()
add_library(cppjieba INTERFACE)
add_library(cppjieba::cppjieba ALIAS cppjieba)
# SYSTEM: the library's own warnings are not ours to fix.
target_include_directories(cppjieba SYSTEM INTERFACE "${_cppjieba_include}")
