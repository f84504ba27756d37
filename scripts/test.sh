#!/usr/bin/env bash
# Installs the missing packages (scripts/deps.sh test), builds the router's
# variants with warnings as errors and runs the whole test suite in each, then
# fuzzes every input reader for a short time; stops at the first failure.
#
#   scripts/test.sh           everything CI runs, in this order:
#                             1. debugging build (trace on) under AddressSanitizer
#                                and UBSan, with the benchmark's library and tests
#                             2. release build (trace off), also with the benchmark
#                             then the soak for 1 minute on that release build
#                                (scripts/soak.sh --minutes 1)
#                             then a clang build with the lock rules checked
#                                (KTRR_THREAD_SAFETY=ON): the router and the
#                                lock tests only, which it runs; skipped with a
#                                note when clang is missing
#                             3. debugging build under ThreadSanitizer
#                                each with the whole suite: unit, system and
#                                fault-injection tests (ctest label faults)
#                             4. every fuzz target for 20 s (scripts/fuzz.sh 20);
#                                skipped with a note when clang or its libFuzzer
#                                runtime is missing
#   scripts/test.sh --quick   only the debugging (ASan/UBSan) and release suites,
#                             without the fault-injection tests and the soak
#   --no-tsan                 leave out the ThreadSanitizer build
#   --no-fuzz                 leave out the fuzz run
#   --no-soak                 leave out the 1-minute soak
#   --no-faults               leave out the fault-injection tests (label faults)
#   --fuzz-seconds N          fuzz each target N seconds instead of 20
#   --plain                   add a debugging build without sanitizers
#
# Builds live in build/<variant> (KTRR_BUILD_ROOT=<dir> puts them elsewhere).
# In the sanitizer builds every report, also one from a router process that
# a system test started and killed, is written to build/<variant>/sanitizer/;
# a report fails the run even when every test passed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

with_tsan=1
with_fuzz=1
with_soak=1
with_faults=1
with_plain=0
fuzz_seconds=20
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) with_tsan=0; with_fuzz=0; with_faults=0; with_soak=0 ;;
    --no-tsan) with_tsan=0 ;;
    --no-fuzz) with_fuzz=0 ;;
    --no-soak) with_soak=0 ;;
    --no-faults) with_faults=0 ;;
    --plain) with_plain=1 ;;
    --fuzz-seconds)
      case "${2:-}" in
        ''|0|*[!0-9]*) echo "test.sh: --fuzz-seconds needs a positive number of seconds (try --help)" >&2; exit 2 ;;
      esac
      fuzz_seconds="$2"
      shift ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "test.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
  shift
done

build_root="${KTRR_BUILD_ROOT:-$root/build}"
jobs="$(nproc)"
run_start=$SECONDS
summary=()

load() { sed 's/ [0-9]*\/.*//' /proc/loadavg; }

# Sets cpu_now to the CPU seconds (user + system) used so far by the
# finished children of this shell; `times` has to run in this shell itself.
times_file="$(mktemp)"
cpu_now=0
child_cpu() {
  times >"$times_file"
  cpu_now="$(awk 'NR == 2 { s = 0
    for (i = 1; i <= 2; i++) { split($i, p, "m"); s += p[1] * 60 + p[2] }
    printf "%d", s }' "$times_file")"
}

# phase <name> <command...>: runs the command and records its wall time and
# the load average at its end.
phase() {
  local name="$1" start=$SECONDS cpu status=0
  shift
  child_cpu
  cpu=$cpu_now
  echo "==> $name (load $(load))"
  "$@" || status=$?
  child_cpu
  summary+=("$(printf '%-28s %5d s  cpu %5d s   load %s' "$name" $((SECONDS - start)) \
               $((cpu_now - cpu)) "$(load)")")
  if [ "$status" -ne 0 ]; then
    summary[-1]+="   FAILED"
  fi
  return "$status"
}

# Prints the time table at the end, also after a failure.
print_summary() {
  local status=$?
  rm -f "$times_file"
  echo "==> phases (wall time, CPU time of all processes, 1/5/15-minute load average at the end):"
  for line in "${summary[@]}"; do echo "    $line"; done
  echo "    total $((SECONDS - run_start)) s"
  if [ "$status" -eq 0 ]; then echo "==> all tests passed"; else echo "==> FAILED"; fi
}

# check_reports <dir>: fails when a sanitizer wrote a report into <dir>.
check_reports() {
  local dir="$1" files
  files="$(find "$dir" -type f 2>/dev/null | sort)"
  if [ -n "$files" ]; then
    echo "test.sh: sanitizer reports in $dir:" >&2
    while IFS= read -r f; do
      echo "---- $f" >&2
      head -n 80 "$f" >&2
    done <<<"$files"
    return 1
  fi
}

# build_and_test <variant> <cmake options...>
build_and_test() {
  local variant="$1"
  shift
  local dir="$build_root/$variant"
  local filter=()
  [ "$with_faults" = 0 ] && filter=(-LE faults)
  phase "configure $variant" cmake -S "$root" -B "$dir" -DKTRR_WERROR=ON "$@"
  phase "build $variant" cmake --build "$dir" -j"$jobs"

  # Every sanitizer report goes to a file, so that a report from a router
  # process that a system test ends is not lost with the process' stderr.
  local reports="$dir/sanitizer"
  rm -rf "$reports"
  mkdir -p "$reports"
  local status=0
  phase "test $variant" env \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}log_path=$reports/asan" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:log_path=$reports/ubsan" \
    TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}log_path=$reports/tsan" \
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 "${filter[@]}" || status=$?
  if ! check_reports "$reports"; then
    summary+=("sanitizer reports in $reports   FAILED")
    status=1
  fi
  return "$status"
}

# thread_safety_build: clang with the lock annotations checked as errors.
# Builds the router and the lock layer's and the connection pool's tests,
# and runs the lock tests (their death tests need the debugging build).
# Other clang warnings do not stop it: the g++ builds treat those as errors.
thread_safety_build() {
  local dir="$build_root/thread-safety"
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
    -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE= -DKTRR_WERROR=OFF -DKTRR_THREAD_SAFETY=ON &&
    cmake --build "$dir" -j"$jobs" --target KTReqRouter KTLock_test KTServer_test &&
    "$dir/tests/KTLock_test" --gtest_brief=1
}

# Fuzzing needs clang++ and its libFuzzer runtime; try to link a target.
fuzzer_missing() {
  command -v clang++ >/dev/null || { echo "clang++ is not installed (Debian package clang)"; return 0; }
  local probe
  probe="$(mktemp -d)"
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
    >"$probe/probe.cpp"
  if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
       >/dev/null 2>&1; then
    rm -rf "$probe"
    echo "clang++ cannot link a libFuzzer target (its runtime is missing: on Debian 12 the package libclang-rt-14-dev)"
    return 0
  fi
  rm -rf "$probe"
  return 1
}

scripts/deps.sh test

trap print_summary EXIT
echo "==> test.sh: $jobs build jobs, load $(load)"
build_and_test debug -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=address -DKTRR_BUILD_BENCH=ON
build_and_test release -DCMAKE_BUILD_TYPE=Release -DKTRR_DEBUG_TRACE=OFF -DKTRR_SANITIZE= -DKTRR_BUILD_BENCH=ON
if [ "$with_soak" = 1 ]; then
  phase "soak 1 min (release)" env KTRR_BUILD_ROOT="$build_root" scripts/soak.sh --minutes 1
fi
if command -v clang++ >/dev/null; then
  phase "thread-safety (clang)" thread_safety_build
else
  echo "==> skipped: thread-safety build, clang++ is not installed (Debian package clang)"
  summary+=("skipped: thread-safety build, clang++ is not installed")
fi
if [ "$with_tsan" = 1 ]; then
  build_and_test tsan -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=thread
fi
if [ "$with_plain" = 1 ]; then
  build_and_test plain -DCMAKE_BUILD_TYPE=Debug -DKTRR_DEBUG_TRACE=ON -DKTRR_SANITIZE=
fi
if [ "$with_fuzz" = 1 ]; then
  if reason="$(fuzzer_missing)"; then
    echo "==> skipped: fuzz run, $reason"
    summary+=("skipped: fuzz run, $reason")
  else
    phase "fuzz ${fuzz_seconds} s per target" env KTRR_BUILD_ROOT="$build_root" \
      scripts/fuzz.sh "$fuzz_seconds"
  fi
fi
