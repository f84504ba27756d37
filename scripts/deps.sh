#!/usr/bin/env bash
# Installs the Debian packages that building, testing or packaging the router
# needs, and only those that are missing.
#
#   scripts/deps.sh build      what scripts/run.sh needs: compiler, CMake and
#                              the libraries the code includes
#   scripts/deps.sh test       build, plus what scripts/test.sh and CI need:
#                              GoogleTest/GoogleMock, the Prometheus parser,
#                              an HTTP client and the Debian package tools;
#                              clang and its libFuzzer runtime are tried too,
#                              and their failure only skips the fuzz run
#   scripts/deps.sh package    build, plus what scripts/package.sh needs
#
# More than one set may be named. Each package is checked with dpkg-query;
# when one is missing, the package lists are updated once and only the
# missing packages are installed (as root, or through sudo otherwise). When
# nothing is missing, apt-get is not run at all.
set -euo pipefail

usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; }

# The one place that lists the packages; run.sh, test.sh and .ci/run call
# this script.
build_packages=(cmake g++ make librapidxml-dev nlohmann-json3-dev libcpp-httplib-dev pkg-config)
package_packages=(dpkg-dev file)
# The suite also builds and unpacks the Debian package.
test_packages=(libgtest-dev libgmock-dev python3 python3-prometheus-client curl chromium
               "${package_packages[@]}")
# The fuzz targets need clang and its libFuzzer runtime (clang 14 keeps
# libclang_rt.fuzzer-x86_64.a in libclang-rt-14-dev). Without them
# scripts/test.sh skips the fuzz run and says so.
fuzz_packages=(clang libclang-rt-14-dev)

if [ $# -eq 0 ]; then
  echo "deps.sh: name a set of packages: build, test or package (try --help)" >&2
  exit 2
fi
required=()
optional=()
for set in "$@"; do
  case "$set" in
    build) required+=("${build_packages[@]}") ;;
    test) required+=("${build_packages[@]}" "${test_packages[@]}"); optional+=("${fuzz_packages[@]}") ;;
    package) required+=("${build_packages[@]}" "${package_packages[@]}") ;;
    -h|--help) usage; exit 0 ;;
    *) echo "deps.sh: unknown set '$set': build, test or package (try --help)" >&2; exit 2 ;;
  esac
done

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# missing_of <package...>: prints the packages that are not installed, once
# each, in the order given.
missing_of() {
  local pkg seen=" "
  for pkg in "$@"; do
    case "$seen" in *" $pkg "*) continue ;; esac
    seen+="$pkg "
    installed "$pkg" || echo "$pkg"
  done
}

if ! command -v dpkg-query >/dev/null; then
  echo "deps.sh: dpkg-query not found: this script installs Debian packages; install these by hand:" >&2
  echo "deps.sh:   ${required[*]}" >&2
  exit 1
fi

mapfile -t missing < <(missing_of "${required[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

for pkg in "${missing[@]}"; do echo "deps.sh: package $pkg is missing"; done
for pkg in "${missing_optional[@]}"; do echo "deps.sh: package $pkg is missing (optional: the fuzz run needs it)"; done

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    as_root=(sudo)
  elif [ ${#missing[@]} -ne 0 ]; then
    echo "deps.sh: installing packages needs root and sudo is not installed; as root run:" >&2
    echo "deps.sh:   apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  else
    echo "deps.sh: note: not root and no sudo, ${missing_optional[*]} not installed; the fuzz run will be skipped"
    exit 0
  fi
fi
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120)

# A failed update (one unreachable mirror, say) may still leave usable
# package lists; the install below says whether it was enough.
if ! "${apt[@]}" update; then
  echo "deps.sh: warning: apt-get update failed; trying to install from the lists at hand" >&2
fi
if [ ${#missing[@]} -ne 0 ]; then
  "${apt[@]}" install -y "${missing[@]}" || true
  mapfile -t still < <(missing_of "${missing[@]}")
  if [ ${#still[@]} -ne 0 ]; then
    echo "deps.sh: could not install: ${still[*]}" >&2
    exit 1
  fi
fi
if [ ${#missing_optional[@]} -ne 0 ]; then
  if ! "${apt[@]}" install -y "${missing_optional[@]}"; then
    echo "deps.sh: note: could not install ${missing_optional[*]}; the fuzz run will be skipped"
  fi
fi
