#!/usr/bin/env bash
# Builds the router's two variants and runs the whole test suite in each;
# stops at the first failure.
#
#   scripts/test.sh           debugging build (trace on) under AddressSanitizer
#                             and UBSan, then the release build (no trace)
#   scripts/test.sh --plain   adds a debugging build without sanitizers
#   scripts/test.sh --tsan    adds a ThreadSanitizer build
#   scripts/test.sh --fuzz    adds a short libFuzzer run of every target
#                             (needs clang with its fuzzer runtime)
#   scripts/test.sh --faults  also runs the fault-injection system tests
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

with_plain=0
with_tsan=0
with_fuzz=0
ctest_filter=(-LE faults)
for arg in "$@"; do
  case "$arg" in
    --plain) with_plain=1 ;;
    --tsan) with_tsan=1 ;;
    --fuzz) with_fuzz=1 ;;
    --faults) ctest_filter=() ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 "${ctest_filter[@]}"
}

build_and_test build/debug -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=address
build_and_test build/release -DCMAKE_BUILD_TYPE=Release -DKTRR_DEBUG_TRACE=OFF -DKTRR_SANITIZE=
if [ "$with_plain" = 1 ]; then
  build_and_test build/plain -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=
fi
if [ "$with_tsan" = 1 ]; then
  build_and_test build/tsan -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=thread
fi
if [ "$with_fuzz" = 1 ]; then
  scripts/fuzz.sh 20
fi
echo "==> all tests passed"
