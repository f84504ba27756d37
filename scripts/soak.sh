#!/usr/bin/env bash
# Runs the release router under churn for a number of minutes and checks that
# it stays healthy; fails when it does not.
#
#   scripts/soak.sh [--minutes N] [--csv FILE] [--plot FILE.svg] [--keep]
#
#   --minutes N     minutes of load (default 10)
#   --csv FILE      samples as CSV (default <build>/soak/soak.csv)
#   --plot FILE     also write an SVG plot of RSS, descriptors and threads
#   --keep          keep the scratch directory with configuration and logs
#
# A router and a peer router (both the real binary, one configuration file)
# run in a scratch directory with ports found free at run time. Against the
# router: application servers that register, report working and idle with
# cache data and disconnect, new ones all the time; get-server clients whose
# requests carry client, site and extension limits; monitor pollers (codes
# 10 to 14, 16 and 17, never 15); malformed datagrams and message-center
# garbage. The peer router is restarted every minute (halfway through runs
# shorter than two minutes). Every 10 s a table row and a CSV line give the
# router's RSS, descriptors and threads.
#
# The run fails, naming the rule and the figures, when
#   - an answer breaks its protocol (get-server, monitor, message center),
#     a get-server answer is lost or names a server that never registered;
#   - the pool's hits (monitor 13) differ from the OK answers the clients got,
#     or a server that stayed the whole run shows other hits (monitor 10)
#     than the clients got for it;
#   - RSS grows by more than 10 % from the end of the warm-up (20 % of the
#     run, at most one minute) to the end of the load, each the mean of three
#     samples; runs under five minutes allow at least 2 MB, the allocator's
#     first growth steps;
#   - descriptors or threads are not back at their figures before the load
#     within 30 s after the load has gone.
#
# The build is <build root>/release (KTRR_BUILD_ROOT=<dir>, default build/),
# configured like the release build of scripts/test.sh when it does not exist
# yet; SOAK_BUILD_DIR=<dir> names another release build directory.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

minutes=10
csv=""
plot=""
keep=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    --minutes)
      case "${2:-}" in
        ''|0|*[!0-9]*) echo "soak.sh: --minutes needs a positive number, got '${2:-}' (try --help)" >&2; exit 2 ;;
      esac
      minutes="$2"; shift ;;
    --csv)
      [ -n "${2:-}" ] || { echo "soak.sh: --csv needs a file name (try --help)" >&2; exit 2; }
      csv="$2"; shift ;;
    --plot)
      [ -n "${2:-}" ] || { echo "soak.sh: --plot needs a file name (try --help)" >&2; exit 2; }
      plot="$2"; shift ;;
    --keep) keep=(--keep) ;;
    *) echo "soak.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
  shift
done

build="${SOAK_BUILD_DIR:-${KTRR_BUILD_ROOT:-$root/build}/release}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "==> configure $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKTRR_DEBUG_TRACE=OFF -DKTRR_SANITIZE= \
    -DKTRR_BUILD_BENCH=ON -DKTRR_WERROR=ON >/dev/null
fi
if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" ||
   ! grep -q '^KTRR_BUILD_BENCH:BOOL=ON$' "$build/CMakeCache.txt"; then
  echo "soak.sh: $build is not a release build with KTRR_BUILD_BENCH=ON" >&2
  exit 2
fi
echo "==> build router and rrsoak in $build"
cmake --build "$build" -j2 --target KTReqRouter rrsoak >/dev/null

mkdir -p "$build/soak"
[ -n "$csv" ] || csv="$build/soak/soak.csv"
args=(--seconds "$((minutes * 60))" --csv "$csv" "${keep[@]}")
[ -z "$plot" ] || args+=(--plot "$plot")

# rrsoak leads a process group of its own with both routers in it, so that
# an interruption or an error here ends all of them and leaves nothing behind.
soak_pid=""
cleanup() {
  [ -n "$soak_pid" ] || return 0
  if kill -0 "$soak_pid" 2>/dev/null; then
    kill -TERM "$soak_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$soak_pid" 2>/dev/null || break; sleep 0.2; done
  fi
  kill -KILL -- "-$soak_pid" 2>/dev/null || true
  soak_pid=""
}
trap 'cleanup; exit 130' INT TERM HUP
trap cleanup EXIT

echo "==> soak: $minutes min"
setsid "$build/bench/rrsoak" "${args[@]}" &
soak_pid=$!
status=0
wait "$soak_pid" || status=$?
# The routers are children of rrsoak: none may outlive it.
kill -KILL -- "-$soak_pid" 2>/dev/null || true
soak_pid=""
if [ "$status" -eq 0 ]; then
  echo "==> soak passed ($minutes min); samples in $csv"
else
  echo "==> soak FAILED ($minutes min, status $status); samples in $csv" >&2
fi
exit "$status"
