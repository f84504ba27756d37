#!/usr/bin/env bash
# Builds the Debian package of the router: a release build installed under
# /usr, packed by CPack's DEB generator. Prints the path of the .deb.
#
# The build lives in build/package (KTRR_BUILD_ROOT=<dir> puts it in
# <dir>/package). The Debian packages the build and dpkg-shlibdeps need are
# installed first when missing (scripts/deps.sh package).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_root="${KTRR_BUILD_ROOT:-$root/build}"
build="$build_root/package"

"$root/scripts/deps.sh" package

cmake -S "$root" -B "$build" \
  -DCMAKE_BUILD_TYPE=Release \
  -DKTRR_DEBUG_TRACE=OFF \
  -DKTRR_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build" -j"$(nproc)" --target KTReqRouter rrctl

# Only the package of this run is reported.
rm -f "$build"/ktreqrouter_*.deb
(cd "$build" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build") >&2
deb="$(ls "$build"/ktreqrouter_*.deb)"
echo "$deb"
