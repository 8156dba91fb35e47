#!/usr/bin/env bash
# Puts SimSIMD's C source into third_party/simsimd-<version>/ (not tracked by git), from
# its sdist on the package index, so that builds from this checkout and the dralm sdist
# need no network. The version is the one cmake/simsimd.cmake builds. Does nothing when
# the source is already there.
# Usage: bash scripts/fetch_simsimd.sh
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^set(DRALM_SIMSIMD_VERSION "\(.*\)")$/\1/p' cmake/simsimd.cmake)
[ -n "$version" ] || { echo "no DRALM_SIMSIMD_VERSION in cmake/simsimd.cmake" >&2; exit 1; }
dest="third_party/simsimd-$version"
[ -f "$dest/c/lib.c" ] && exit 0

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -m pip download --quiet --disable-pip-version-check --no-deps --no-binary=simsimd \
  "simsimd==$version" -d "$tmp"
tar -xzf "$tmp/simsimd-$version.tar.gz" -C "$tmp"
mkdir -p third_party
rm -rf "$dest"
mkdir "$dest"
# The C library, its headers and its licence are all a build needs.
cp -r "$tmp/simsimd-$version/c" "$tmp/simsimd-$version/include" \
  "$tmp/simsimd-$version/LICENSE" "$tmp/simsimd-$version/VERSION" "$dest/"
echo "SimSIMD $version source in $dest"
