#!/usr/bin/env bash
# Builds the router in its debugging, release and AddressSanitizer variants
# and runs the whole test suite in each; stops at the first failure.
#
#   scripts/test.sh           debug, release, asan
#   scripts/test.sh --tsan    the same plus a ThreadSanitizer build
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

with_tsan=0
for arg in "$@"; do
  case "$arg" in
    --tsan) with_tsan=1 ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg' (try --help)" >&2; exit 2 ;;
  esac
done

jobs="$(nproc)"

# build_and_test <build dir> <cmake options...>
build_and_test() {
  local dir="$1"
  shift
  echo "==> configure $dir"
  cmake -S "$root" -B "$dir" "$@"
  echo "==> build $dir"
  cmake --build "$dir" -j"$jobs"
  echo "==> test $dir"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2
}

build_and_test build/debug -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=
build_and_test build/release -DCMAKE_BUILD_TYPE=Release -DKTRR_DEBUG_TRACE=OFF -DKTRR_SANITIZE=
build_and_test build/asan -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=address
if [ "$with_tsan" = 1 ]; then
  build_and_test build/tsan -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=thread
fi
echo "==> all tests passed"
