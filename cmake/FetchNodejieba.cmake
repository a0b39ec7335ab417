# The npm tarballs the project fetches, pinned by version and sha256 (the one place both the build
# and scripts/fetch_deps.sh read): nodejieba 2.6.0 carries cppjieba 5.0.3, limonp and the default
# dictionary; 3.5.8 carries cppjieba's test novel, used only by the demo and the benchmarks.
# Included by the build, or run as a script: cmake -DDEST=<folder> -P cmake/FetchNodejieba.cmake
cmake_minimum_required(VERSION 3.18)

set(DUZUDAVIDA_NODEJIEBA_VERSION 2.6.0)
set(DUZUDAVIDA_NODEJIEBA_SHA256 ee58b98a271483b5481979b3dd1e7a7284b7a84d896c226df40fa07763ad135f)
set(DUZUDAVIDA_NOVEL_NODEJIEBA_VERSION 3.5.8)
set(DUZUDAVIDA_NOVEL_NODEJIEBA_SHA256 d596b0566526a7add766e1582f5c97dd5b5003dd26ca353e7b5cf5da86b43af5)

# Fetches name@version with `npm pack` and unpacks it into `destination`, unless an earlier run
# finished there. Any failure stops with one message that says what to install or set instead.
function(duzudavida_npm_fetch name version sha256 destination)
  if(EXISTS "${destination}/.complete")
    return()
  endif()
  set(instead "or set DUZUDAVIDA_CPPJIEBA_DIR (a CMake or environment variable) to an unpacked ${name}@${version} tree")
  find_program(DUZUDAVIDA_NPM npm)
  if(NOT DUZUDAVIDA_NPM)
    message(FATAL_ERROR "npm not found: it fetches ${name}@${version}. Install npm (Debian: apt-get install npm), ${instead}.")
  endif()
  set(work "${destination}.download")
  file(REMOVE_RECURSE "${work}" "${destination}")
  file(MAKE_DIRECTORY "${work}")
  execute_process(COMMAND "${DUZUDAVIDA_NPM}" pack --silent "${name}@${version}"
                  WORKING_DIRECTORY "${work}" RESULT_VARIABLE status ERROR_VARIABLE npm_error OUTPUT_QUIET)
  set(tarball "${work}/${name}-${version}.tgz")
  if(NOT status EQUAL 0 OR NOT EXISTS "${tarball}")
    string(STRIP "${npm_error}" npm_error)
    message(FATAL_ERROR "npm pack ${name}@${version} failed (is the npm registry reachable?): ${npm_error}. Retry, ${instead}.")
  endif()
  file(SHA256 "${tarball}" actual)
  if(NOT actual STREQUAL sha256)
    message(FATAL_ERROR "${name}@${version}: sha256 ${actual} differs from the pinned ${sha256}; refusing it. Set DUZUDAVIDA_CPPJIEBA_DIR to a trusted tree instead.")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${work}/unpacked")
  file(RENAME "${work}/unpacked/package" "${destination}")
  file(REMOVE_RECURSE "${work}")
  file(TOUCH "${destination}/.complete")
  message(STATUS "fetched ${name}@${version} into ${destination}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEST)
    message(FATAL_ERROR "usage: cmake -DDEST=<folder> -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  duzudavida_npm_fetch(nodejieba ${DUZUDAVIDA_NODEJIEBA_VERSION} ${DUZUDAVIDA_NODEJIEBA_SHA256}
                       "${DEST}/nodejieba-${DUZUDAVIDA_NODEJIEBA_VERSION}")
  duzudavida_npm_fetch(nodejieba ${DUZUDAVIDA_NOVEL_NODEJIEBA_VERSION} ${DUZUDAVIDA_NOVEL_NODEJIEBA_SHA256}
                       "${DEST}/nodejieba-${DUZUDAVIDA_NOVEL_NODEJIEBA_VERSION}")
endif()
