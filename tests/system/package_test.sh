#!/usr/bin/env bash
# Packs the current build tree into the Debian package, unpacks it into a
# temporary folder and checks its contents, its Depends field, the packaged
# router's "-check" on the packaged sample and, where systemd-analyze exists,
# the packaged units.
#
# Usage: package_test.sh BUILD_DIR WORK_DIR
# Exits 77 (skipped) when dpkg-deb or dpkg-shlibdeps is missing.
set -euo pipefail

build="$1"
work="$2"

for tool in dpkg-deb dpkg-shlibdeps cpack; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool not found (Debian package dpkg-dev)"
    exit 77
  fi
done

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/out" "$work/root" "$work/log"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/ktreqrouter_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ktreqrouter .deb in $work/out"
deb="${debs[0]}"

[ "$(dpkg-deb -f "$deb" Package)" = ktreqrouter ] || fail "package name"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for lib in libc6 libstdc++6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

# The packaged paths hold under any install prefix; the package is built
# with /usr (scripts/package.sh), the test tree may use another.
prefix="$(sed -n 's/^CPACK_PACKAGING_INSTALL_PREFIX:.*=//p;s/^CMAKE_INSTALL_PREFIX:PATH=//p' \
  "$build/CMakeCache.txt" | tail -n1)"
prefix="${prefix#/}"
dpkg-deb -c "$deb" >"$work/contents"
dpkg-deb -x "$deb" "$work/root"
doc="$(cd "$work/root" && ls -d "$prefix"/share/doc/* | head -n1)"
for f in "$prefix/bin/KTReqRouter" "$prefix/bin/rrctl" \
         "$prefix/lib/systemd/system/KTReqRouter.service" \
         "$prefix/lib/systemd/system/rrctl-exporter.service" \
         "$doc/README.md" "$doc/examples/ServerConfig.xml" "$doc/examples/ktreqrouter.env"; do
  [ -f "$work/root/$f" ] || { cat "$work/contents" >&2; fail "package lacks /$f"; }
done
[ -x "$work/root/$prefix/bin/KTReqRouter" ] || fail "KTReqRouter is not executable"
grep -qx 'LimitNOFILE=65536' "$work/root/$prefix/lib/systemd/system/KTReqRouter.service" ||
  fail "KTReqRouter.service lacks LimitNOFILE=65536"
if grep -n '@[A-Z_]*@' "$work/root/$prefix"/lib/systemd/system/*.service; then
  fail "unit files keep unexpanded placeholders"
fi

status=0
out="$(env -u VEXORA_IPLIST VEXORA_CONFIG="$work/root/$doc/examples" VEXORA_LOG="$work/log" \
  "$work/root/$prefix/bin/KTReqRouter" -iplist 127.0.0.1 -check 2>"$work/check.err")" || status=$?
echo "$out"
[ "$status" -eq 0 ] || { cat "$work/check.err" >&2; fail "-check exited $status"; }
for router in RR1 RR2; do
  grep -q "^$router: " <<<"$out" || fail "-check does not list $router"
done

if command -v systemd-analyze >/dev/null; then
  # verify also checks that ExecStart names an executable; the binaries are
  # not installed on this host, so ExecStart points into the unpacked tree.
  mkdir -p "$work/units"
  for unit in KTReqRouter.service rrctl-exporter.service; do
    sed "s#^ExecStart=/#ExecStart=$work/root/#" \
      "$work/root/$prefix/lib/systemd/system/$unit" >"$work/units/$unit"
  done
  (cd "$work/units" && SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
     KTReqRouter.service rrctl-exporter.service) >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
  [ ! -s "$work/verify.log" ] || cat "$work/verify.log"
else
  echo "systemd-analyze not found: unit files not verified"
fi
echo "package test passed: $deb"
