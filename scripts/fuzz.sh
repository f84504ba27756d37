#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan) and
# runs each for a number of seconds; fails when one of them crashes.
#
#   scripts/fuzz.sh [seconds] [target...]     default 20 seconds, all targets
#
# The targets run side by side, as many at a time as there are cores
# (FUZZ_JOBS=<n> sets another number), each for the full number of seconds.
# The build lives in build/fuzz (KTRR_BUILD_ROOT=<dir> puts it in <dir>/fuzz).
# Inputs that reach new code are kept in build/fuzz/corpus/<target> next to
# the committed seeds in fuzz/corpus/<target>; a crashing input is written to
# build/fuzz/artifacts/<target>-crash-... and its report is printed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

seconds=20
if [ $# -gt 0 ]; then
  case "$1" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    # libFuzzer reads a total time of 0 as "no limit".
    0|*[!0-9]*|'') echo "fuzz.sh: seconds must be a positive number, got '$1' (try --help)" >&2; exit 2 ;;
  esac
  seconds="$1"
  shift
fi

build="${KTRR_BUILD_ROOT:-$root/build}/fuzz"
cores="$(nproc)"
parallel="${FUZZ_JOBS:-$cores}"
case "$parallel" in
  ''|*[!0-9]*|0) echo "fuzz.sh: FUZZ_JOBS must be a positive number, got '$parallel'" >&2; exit 2 ;;
esac
echo "==> configure $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKTRR_BUILD_FUZZERS=ON -DKTRR_BUILD_TESTS=OFF -DKTRR_SANITIZE= >/dev/null
echo "==> build fuzz targets"
build_start=$SECONDS
cmake --build "$build" -j"$cores" --target fuzzers
echo "==> fuzz targets built in $((SECONDS - build_start)) s"
run_start=$SECONDS

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

for target in "${targets[@]}"; do
  if [ ! -x "$build/fuzz/$target" ]; then
    echo "fuzz.sh: no such target '$target'" >&2
    exit 2
  fi
done

mkdir -p "$build/artifacts" "$build/logs"

# fuzz_one <target>: runs one target with its seeds, dictionary and log.
fuzz_one() {
  local target="$1"
  local corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  local seeds=()
  [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
  local options=(-max_total_time="$seconds" -timeout=20 -print_final_stats=1
                 -artifact_prefix="$build/artifacts/$target-")
  local dict="fuzz/${target#fuzz_}.dict"
  [ -f "$dict" ] && options+=(-dict="$dict")
  case "$target" in
    fuzz_config) options+=(-max_len=8192) ;;
    # A network input holds a whole conversation and costs in proportion to
    # its requests; 1 KB still holds dozens of them, enough to walk a server
    # or a peer through every state. Header lines too long for the readers
    # (8 KB) are left to the unit tests.
    fuzz_message_center|fuzz_monitor|fuzz_peer) options+=(-max_len=1024) ;;
  esac
  # A smaller quarantine keeps the freed memory in cache: with the default
  # 256 MB nearly every allocation touches a fresh page. Use-after-free is
  # still caught within the 16 MB that were freed last.
  ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}" \
    "$build/fuzz/$target" "${options[@]}" "$corpus" "${seeds[@]}" >"$build/logs/$target.log" 2>&1
}

# Runs the targets in groups of $parallel and reports each one in order.
failed=()
for ((first = 0; first < ${#targets[@]}; first += parallel)); do
  group=("${targets[@]:first:parallel}")
  echo "==> ${group[*]} for $seconds s"
  pids=()
  for target in "${group[@]}"; do
    fuzz_one "$target" &
    pids+=("$!")
  done
  for i in "${!group[@]}"; do
    target="${group[$i]}"
    log="$build/logs/$target.log"
    if wait "${pids[$i]}"; then
      runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
      echo "    $target: ${runs:-?} runs, no crash"
    else
      echo "    $target: CRASH (log $log):"
      grep -v -E '^#[0-9]+|^INFO:' "$log" | tail -n 60 | sed 's/^/    /'
      failed+=("$target")
    fi
  done
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "==> fuzzing found crashes in: ${failed[*]} ($((SECONDS - run_start)) s of fuzzing)"
  exit 1
fi
echo "==> fuzzing found no crash ($((SECONDS - run_start)) s of fuzzing)"
