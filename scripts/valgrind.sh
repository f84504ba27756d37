#!/usr/bin/env bash
# Runs the router under valgrind's memcheck through one whole scenario and
# fails when valgrind reports a memory error or a definite leak.
#
#   scripts/valgrind.sh            build build/valgrind (debug, no sanitizer) and run
#   KEEP=1 scripts/valgrind.sh     keep the run folder (configuration, logs)
#
# The scenario, spoken with bash's /dev/tcp and /dev/udp: two application
# servers register in one pool, work, go idle with cache data and receive
# each other's data; datagrams ask for servers (one answered, try-later,
# time-out, an unknown pool, a wrong code); the monitor lists servers,
# pools, peers and cache data and resets statistics; one server finishes,
# one loses its connection, a third sends garbage; the message center then
# receives request 99, which ends the router with SIGTERM. valgrind's report
# is written to <run folder>/valgrind.log.
set -euo pipefail
export LC_ALL=C

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
case "${1:-}" in
  -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  '') ;;
  *) echo "valgrind.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
esac
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 2; }

build="$root/build/valgrind"
echo "==> build $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKTRR_SANITIZE= -DKTRR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target KTReqRouter >/dev/null
binary="$build/src/KTReqRouter/KTReqRouter"

run="$(mktemp -d /tmp/ktrr-valgrind.XXXXXX)"
router_pid=""
cleanup() {
  if [ -n "$router_pid" ] && kill -0 "$router_pid" 2>/dev/null; then kill -KILL "$router_pid"; fi
  if [ "${KEEP:-0}" = 1 ]; then echo "run folder kept: $run"; else rm -rf "$run"; fi
}
trap cleanup EXIT

# Three free ports on 127.0.0.1 (the UDP one must be free for UDP too).
free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
  done
  echo "valgrind.sh: no free port" >&2
  exit 1
}
get_port="$(free_port)"
mc_port="$(free_port)"
monitor_port="$(free_port)"
mkdir -p "$run/config" "$run/log"
cat >"$run/config/ServerConfig.xml" <<EOF
<config>
  <requestrouters max_cache_items="50">
    <requestrouter name="RR1" host="127.0.0.1" port="$get_port" mc_port="$mc_port" monitor_port="$monitor_port"/>
  </requestrouters>
  <pools>
    <pool name="Pool1"><requestrouters><requestrouter>RR1</requestrouter></requestrouters></pool>
  </pools>
  <cacheservers><server host="127.0.0.1" port="$(free_port)"/></cacheservers>
</config>
EOF

echo "==> start the router under valgrind"
VEXORA_CONFIG="$run/config" VEXORA_LOG="$run/log" \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --error-exitcode=99 --track-fds=no \
    --log-file="$run/valgrind.log" \
    "$binary" -iplist 127.0.0.1 -console >"$run/router.out" 2>"$run/router.err" &
router_pid=$!

fail() { echo "valgrind.sh: $*" >&2; exit 1; }

# request FD CODE REST DATA: one message-center request; prints the reply body.
request() {
  local fd="$1" code="$2" rest="$3" data="${4:-}"
  printf '%s %s %s\n%s' "$code" "${#data}" "$rest" "$data" >&"$fd"
  local header body="" length
  IFS= read -r -t 20 header <&"$fd" || fail "no reply to '$code $rest'"
  length="${header#* }"
  [ "${header%% *}" = 0 ] || fail "reply '$header' to '$code $rest'"
  if [ "$length" -gt 0 ]; then IFS= read -r -N "$length" -t 20 body <&"$fd" || true; fi
  printf '%s' "$body"
}
# monitor CODE...: one monitor request line; prints the reply body.
monitor() {
  printf '%s\n' "$*" >&6
  local header body="" length
  IFS= read -r -t 20 header <&6 || fail "no monitor reply to '$*'"
  length="${header#* }"
  if [ "$length" -gt 0 ]; then IFS= read -r -N "$length" -t 20 body <&6 || true; fi
  printf '%s' "$body"
}
# get_server POOL TRIES MAXTRIES [CODE [WAIT]]: one datagram; prints the reply.
get_server() {
  local reply
  exec 7<>"/dev/udp/127.0.0.1/$get_port"
  printf '%s 10.0.0.7 %s %s shop1 /shop/index. html %s Store1 S1 -1 -1 -1 -1 /shop/index.html' \
    "${4:-1}" "$2" "$3" "$1" >&7
  # One read() takes one whole datagram; bash's read would take one byte of it.
  reply="$(timeout "${5:-10}" dd bs=2048 count=1 status=none <&7 || true)"
  exec 7>&-
  printf '%s' "$reply"
}

# Waits until all three listeners answer (valgrind starts slowly).
listening=0
for _ in $(seq 1 60); do
  kill -0 "$router_pid" 2>/dev/null || { cat "$run/router.err" "$run/valgrind.log" >&2; exit 1; }
  if (exec 9<>"/dev/tcp/127.0.0.1/$mc_port") 2>/dev/null &&
     (exec 9<>"/dev/tcp/127.0.0.1/$monitor_port") 2>/dev/null &&
     [ -n "$(get_server ProbeOnly 0 0 1 1)" ]; then
    listening=1
    break
  fi
  sleep 0.5
done
[ "$listening" = 1 ] || fail "the router does not answer on its ports"

item=$'\x01\x01'
echo "==> scenario"
exec 3<>"/dev/tcp/127.0.0.1/$mc_port" 4<>"/dev/tcp/127.0.0.1/$mc_port" 6<>"/dev/tcp/127.0.0.1/$monitor_port"
request 3 2 "127.0.0.1:9001 Pool1 4711 0" >/dev/null
request 4 2 "127.0.0.1:9002 Pool1 4712 1" >/dev/null
[ "$(get_server Pool1 0 3)" = "0 127.0.0.1 9002" ] || fail "the server of priority 1 was not chosen"
request 4 4 "127.0.0.1:9002 0" >/dev/null
request 4 3 "127.0.0.1:9002 0" "catalog/1${item}catalog/2${item}" >/dev/null
[ "$(request 3 3 "127.0.0.1:9001 0")" = "catalog/1${item}catalog/2${item}" ] || fail "cache data lost"
request 3 5 "127.0.0.1:9001 Pool1 0" "price/7${item}" >/dev/null
monitor 11 >/dev/null
[ "$(get_server Pool1 0 3)" = "0 127.0.0.1 9002" ] || fail "second assignment"
[ "$(get_server Pool1 0 3)" = "0 127.0.0.1 9001" ] || fail "third assignment"
[ "$(get_server Pool1 0 3)" = "1" ] || fail "try-later expected"
[ "$(get_server Pool1 2 3)" = "4" ] || fail "time-out expected"
[ "$(get_server Nowhere 0 1)" = "4" ] || fail "unknown pool"
[ "$(get_server Pool1 0 3 2)" = "3 1" ] || fail "wrong request code"
monitor 10 | grep -q "127.0.0.1:9001" || fail "monitor lists no server"
monitor 12 >/dev/null
monitor 13 | grep -q "^P Pool1 " || fail "monitor lists no pool"
monitor 14 0 Pool1 >/dev/null
monitor 15 >/dev/null
request 3 7 "127.0.0.1:9001 0" "last/1${item}" >/dev/null
exec 4>&-  # the second server's connection ends while it is assigned
exec 5<>"/dev/tcp/127.0.0.1/$mc_port"
printf 'garbage\n' >&5
IFS= read -r -t 20 _ <&5 || true  # the router closes the connection without a reply
exec 5>&-
request 3 2 "127.0.0.1:9003 Pool2" >/dev/null
monitor 10 | grep -q "127.0.0.1:9003" || fail "new server missing"
exec 6>&-

echo "==> stop the router with request 99"
printf '99 0\n' >&3
for _ in $(seq 1 300); do
  kill -0 "$router_pid" 2>/dev/null || break
  sleep 0.1
done
exec 3>&-
status=0
wait "$router_pid" || status=$?
router_pid=""

echo "==> valgrind report ($run/valgrind.log)"
sed -n '/HEAP SUMMARY/,$p' "$run/valgrind.log" | sed 's/^==[0-9]*== //'
errors="$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$run/valgrind.log" | tail -n 1)"
definite="$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$run/valgrind.log" | tail -n 1)"
if [ "$status" = 99 ] || [ "${errors:-1}" != 0 ] || { [ -n "$definite" ] && [ "$definite" != 0 ]; }; then
  echo "==> valgrind found problems (exit status $status, $errors errors, ${definite:-0} bytes definitely lost)"
  KEEP=1
  exit 1
fi
echo "==> no memory errors, no definite leaks"
