#!/usr/bin/env bash
# Installs the missing build packages (scripts/deps.sh build), builds the
# release program and runs the router in the foreground on the sample
# configuration in examples/, logging to run/log. Extra arguments are passed
# to the program before the switch (for example: -debug 16).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/release"

"$root/scripts/deps.sh" build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKTRR_DEBUG_TRACE=OFF -DKTRR_SANITIZE=
cmake --build "$build" -j"$(nproc)" --target KTReqRouter

export VEXORA_CONFIG="$root/examples"
export VEXORA_LOG="$root/run/log"
mkdir -p "$VEXORA_LOG"
echo "KTReqRouter: configuration $VEXORA_CONFIG/ServerConfig.xml, log $VEXORA_LOG/RequestRouter.log"
exec "$build/src/KTReqRouter/KTReqRouter" -iplist 127.0.0.1 "$@" -console
