#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan) and
# runs each for a number of seconds; fails when one of them crashes.
#
#   scripts/fuzz.sh [seconds] [target...]     default 20 seconds, all targets
#
# The build lives in build/fuzz. Inputs that reach new code are kept in
# build/fuzz/corpus/<target> next to the committed seeds in
# fuzz/corpus/<target>; a crashing input is written to
# build/fuzz/artifacts/<target>-crash-... and its report is printed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

seconds=20
if [ $# -gt 0 ]; then
  case "$1" in
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *[!0-9]*|'') echo "fuzz.sh: seconds must be a number, got '$1' (try --help)" >&2; exit 2 ;;
  esac
  seconds="$1"
  shift
fi

build="$root/build/fuzz"
echo "==> configure $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKTRR_BUILD_FUZZERS=ON -DKTRR_BUILD_TESTS=OFF -DKTRR_SANITIZE= >/dev/null
echo "==> build fuzz targets"
cmake --build "$build" -j"$(nproc)" --target fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/fuzz_*; do
    [ -x "$exe" ] && targets+=("$(basename "$exe")")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz target was built" >&2
  exit 1
fi

mkdir -p "$build/artifacts" "$build/logs"
failed=()
for target in "${targets[@]}"; do
  exe="$build/fuzz/$target"
  if [ ! -x "$exe" ]; then
    echo "fuzz.sh: no such target '$target'" >&2
    exit 2
  fi
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
  options=(-max_total_time="$seconds" -timeout=20 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$target-")
  dict="fuzz/${target#fuzz_}.dict"
  [ -f "$dict" ] && options+=(-dict="$dict")
  case "$target" in
    fuzz_config) options+=(-max_len=8192) ;;
  esac

  log="$build/logs/$target.log"
  echo "==> $target for $seconds s"
  if "$exe" "${options[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    echo "    ${runs:-?} runs, no crash"
  else
    echo "    CRASH (log $log):"
    grep -v -E '^#[0-9]+|^INFO:' "$log" | tail -n 60 | sed 's/^/    /'
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "==> fuzzing found crashes in: ${failed[*]}"
  exit 1
fi
echo "==> fuzzing found no crash"
