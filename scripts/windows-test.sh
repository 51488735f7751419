#!/usr/bin/env bash
# Runs the Windows tests under Wine in a prefix of the build folder. The Wine server is
# started first, detached: a server started by a test would keep the test's output pipe
# open for seconds after the test ended. It is stopped at the end, whatever happened.
#
# usage: windows-test.sh [BUILD] [ctest arguments...]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win}")
shift || true

export WINEPREFIX="$build/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY
mkdir -p "$WINEPREFIX"

stop() { wineserver -k >/dev/null 2>&1 || true; }
trap stop EXIT

setsid wineserver -p </dev/null >/dev/null 2>&1
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  setsid /usr/lib/wine/wine64 wineboot.exe --init </dev/null >/dev/null 2>&1 || true
fi

cd "$build"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@"
