# The third-party sources the build compiles, each pinned by version and sha256 (the one place the
# build and scripts/fetch_deps.sh read): from npm, nodejieba 2.6.0 carries cppjieba 5.0.3, limonp and
# the default dictionary, and 3.5.8 carries cppjieba's test novel (used only by the demo and the
# benchmarks). npm is the only client a build calls: xxHash's header is in the repository (extern/).
# Included by the build, or run as a script: cmake -DDEST=<folder> -P cmake/Dependencies.cmake
cmake_minimum_required(VERSION 3.18)

set(DUZUDAVIDA_NODEJIEBA_VERSION 2.6.0)
set(DUZUDAVIDA_NODEJIEBA_SHA256 ee58b98a271483b5481979b3dd1e7a7284b7a84d896c226df40fa07763ad135f)
set(DUZUDAVIDA_NOVEL_NODEJIEBA_VERSION 3.5.8)
set(DUZUDAVIDA_NOVEL_NODEJIEBA_SHA256 d596b0566526a7add766e1582f5c97dd5b5003dd26ca353e7b5cf5da86b43af5)

# Checks the downloaded archive against its pin and unpacks its one top folder `top` into `destination`.
function(_duzudavida_unpack archive sha256 top destination label instead)
  file(SHA256 "${archive}" actual)
  if(NOT actual STREQUAL sha256)
    message(FATAL_ERROR "${label}: sha256 ${actual} differs from the pinned ${sha256}; refusing it. ${instead}.")
  endif()
  get_filename_component(work "${archive}" DIRECTORY)
  file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${work}/unpacked")
  file(RENAME "${work}/unpacked/${top}" "${destination}")
  file(REMOVE_RECURSE "${work}")
  file(TOUCH "${destination}/.complete")
  message(STATUS "fetched ${label} into ${destination}")
endfunction()

# Fetches name@version with `npm pack` and unpacks it into `destination`, unless an earlier run
# finished there. Any failure stops with one message that says what to install or set instead.
function(duzudavida_npm_fetch name version sha256 destination)
  if(EXISTS "${destination}/.complete")
    return()
  endif()
  set(instead "Or set DUZUDAVIDA_CPPJIEBA_DIR (a CMake or environment variable) to an unpacked ${name}@${version} tree")
  find_program(DUZUDAVIDA_NPM npm)
  if(NOT DUZUDAVIDA_NPM)
    message(FATAL_ERROR "npm not found: it fetches ${name}@${version}. Install npm (Debian: apt-get install npm), build from the sdist (which carries it), or set DUZUDAVIDA_CPPJIEBA_DIR (a CMake or environment variable) to an unpacked ${name}@${version} tree.")
  endif()
  set(work "${destination}.download")
  file(REMOVE_RECURSE "${work}" "${destination}")
  file(MAKE_DIRECTORY "${work}")
  execute_process(COMMAND "${DUZUDAVIDA_NPM}" pack --silent "${name}@${version}"
                  WORKING_DIRECTORY "${work}" RESULT_VARIABLE status ERROR_VARIABLE npm_error OUTPUT_QUIET)
  set(tarball "${work}/${name}-${version}.tgz")
  if(NOT status EQUAL 0 OR NOT EXISTS "${tarball}")
    string(STRIP "${npm_error}" npm_error)
    message(FATAL_ERROR "npm pack ${name}@${version} failed (is the npm registry reachable?): ${npm_error}. Retry. ${instead}.")
  endif()
  _duzudavida_unpack("${tarball}" ${sha256} package "${destination}" "${name}@${version}" "${instead}")
endfunction()

# Sets `out` to the sdist's copy of name-version (vendor/name-version, made by duzudavida_vendor),
# or to "" when there is none or it holds another pin.
function(duzudavida_vendored out name version sha256)
  set(tree "${PROJECT_SOURCE_DIR}/vendor/${name}-${version}")
  set(found "")
  if(EXISTS "${tree}/PINNED")
    file(READ "${tree}/PINNED" pinned)
    string(STRIP "${pinned}" pinned)
    if(pinned STREQUAL "${name} ${version} ${sha256}")
      set(found "${tree}")
    endif()
  endif()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# Sets `out` to a fetched, hash-checked tree of name-version: the one scripts/fetch_deps.sh
# unpacked into third_party/, else one fetched from npm into the build folder.
function(duzudavida_fetched out name version sha256)
  set(tree "${name}-${version}")
  if(EXISTS "${PROJECT_SOURCE_DIR}/third_party/${tree}/.complete")
    set(${out} "${PROJECT_SOURCE_DIR}/third_party/${tree}" PARENT_SCOPE)
    return()
  endif()
  set(destination "${CMAKE_BINARY_DIR}/_deps/${tree}")
  duzudavida_npm_fetch(${name} ${version} ${sha256} "${destination}")
  set(${out} "${destination}" PARENT_SCOPE)
endfunction()

# Building the sdist: copies `files` (paths relative to `tree`, licences among them) into
# vendor/name-version, which the sdist carries and a build looks in first.
function(duzudavida_vendor tree name version sha256)
  set(vendored "${PROJECT_SOURCE_DIR}/vendor/${name}-${version}")
  file(REMOVE_RECURSE "${vendored}")
  foreach(file IN LISTS ARGN)
    if(NOT EXISTS "${tree}/${file}")
      message(FATAL_ERROR "${name}@${version} has no ${file} to put in the sdist")
    endif()
    get_filename_component(folder "${vendored}/${file}" DIRECTORY)
    file(COPY "${tree}/${file}" DESTINATION "${folder}")
  endforeach()
  file(WRITE "${vendored}/PINNED" "${name} ${version} ${sha256}\n")
  message(STATUS "vendored ${name}@${version} into ${vendored}")
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
