# duzudavida_options: the language level, warnings and sanitizers of every project target.
add_library(duzudavida_options INTERFACE)
target_compile_features(duzudavida_options INTERFACE cxx_std_17)
target_compile_options(duzudavida_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
# Scores are exact to the bit whichever way a query finds a document: no product may be fused
# into a sum where a compiler's target has FMA (aarch64, or x86 with -march flags a user sets).
target_compile_options(duzudavida_options INTERFACE -ffp-contract=off)
if(DUZUDAVIDA_WARNINGS_AS_ERRORS)
  target_compile_options(duzudavida_options INTERFACE -Werror)
endif()
if(DUZUDAVIDA_SANITIZE)
  set(_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(duzudavida_options INTERFACE ${_sanitizers})
  target_link_options(duzudavida_options INTERFACE ${_sanitizers})
endif()
