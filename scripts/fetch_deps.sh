#!/usr/bin/env bash
# Fetches the segmentation library (cppjieba 5.0.3 with limonp and its default dictionary,
# as published inside nodejieba 2.6.0) and a real Chinese text for the demo and benchmarks.
# Each tarball is checked against its recorded hash; a second run reuses what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest="$root/third_party"
mkdir -p "$dest"

fetch() { # name version sha256 folder
  local name=$1 version=$2 sha=$3 folder=$4
  if [ -f "$dest/$folder/.complete" ]; then return 0; fi
  local work
  work=$(mktemp -d)
  (cd "$work" && npm pack --silent "$name@$version" >/dev/null)
  local tarball="$work/$name-$version.tgz"
  echo "$sha  $tarball" | sha256sum --check --quiet - || {
    echo "fetch_deps: hash mismatch for $name@$version" >&2; rm -rf "$work"; exit 1; }
  rm -rf "${dest:?}/$folder"
  mkdir -p "$dest/$folder"
  tar -xzf "$tarball" -C "$dest/$folder" --strip-components=1
  rm -rf "$work"
  touch "$dest/$folder/.complete"
  echo "fetch_deps: $name@$version ready in third_party/$folder"
}

fetch nodejieba 2.6.0 ee58b98a271483b5481979b3dd1e7a7284b7a84d896c226df40fa07763ad135f nodejieba-2.6.0
# Only its copy of cppjieba's test novel is used.
fetch nodejieba 3.5.8 d596b0566526a7add766e1582f5c97dd5b5003dd26ca353e7b5cf5da86b43af5 nodejieba-3.5.8
ln -sf nodejieba-3.5.8/submodules/cppjieba/test/testdata/weicheng.utf8 "$dest/weicheng.utf8"
