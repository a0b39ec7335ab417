#!/usr/bin/env bash
# Builds the wheel for older Linux, manylinux_2_28 (glibc 2.28 and later: RHEL 8 and 9, Ubuntu 20.04,
# Debian 10, Amazon Linux 2023), on this machine whatever its own glibc: zig's clang (the ziglang
# package, pinned in requirements-dev.txt) compiles and links against glibc 2.28's symbol versions,
# and links LLVM's libc++ into the module, so it needs no libstdc++ of a given age either.
# auditwheel must then grant the tag.
#   scripts/wheel_manylinux.sh [out-dir]      (default: dist/manylinux)
# The first run on a machine takes minutes more: zig compiles libc++ (and again for link-time
# optimisation) and glibc's stubs for the target, then keeps them in its cache (~/.cache/zig).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$root/.venv/bin/python
out=${1:-$root/dist/manylinux}
glibc=2.28
platform=manylinux_${glibc/./_}_x86_64
tools=$root/build/zig-tools
mkdir -p "$tools" "$out"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.%s "$@"\n' "$py" "$tool" "$glibc" > "$tools/$tool"
done
for tool in ar ranlib; do  # the archives hold LLVM bitcode (link-time optimisation), which binutils cannot index
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$py" "$tool" > "$tools/$tool"
done
chmod +x "$tools"/*
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

CC=$tools/cc CXX=$tools/c++ "$py" -m pip wheel -q --no-build-isolation --no-deps -w "$work" \
  -C build-dir=build/zig -C cmake.define.CMAKE_AR="$tools/ar" -C cmake.define.CMAKE_RANLIB="$tools/ranlib" \
  "$root"
PATH="$root/.venv/bin:$PATH" "$py" -m auditwheel repair --plat "$platform" -w "$work/repaired" "$work"/duzudavida-*.whl > "$work/repair.txt" 2>&1 ||
  { cat "$work/repair.txt" >&2; exit 1; }
# repair refuses a platform the symbols do not allow; it also names any older tag they allow.
wheel=$(ls "$work"/repaired/duzudavida-*.whl)
case $(basename "$wheel") in
  *"$platform"*) ;;
  *) echo "wheel-manylinux: $(basename "$wheel") is not tagged $platform" >&2; exit 1 ;;
esac
"$py" -m auditwheel show "$wheel" > "$work/show.txt"
rm -f "$out"/duzudavida-*"$platform"*.whl
mv "$wheel" "$out/"
echo "wheel-manylinux: $out/$(basename "$wheel")"
tr -s ' \n' ' ' < "$work/show.txt" | fold -s -w 100
echo
