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

# The end-to-end test runs the Windows agent against the Linux server and tools.
export VARNO_LINUX_BUILD=$(realpath -m "${VARNO_LINUX_BUILD:-$root/build}")
if [ ! -x "$VARNO_LINUX_BUILD/tools/kfs-devserver/kfs-devserver" ] ||
   [ ! -x "$VARNO_LINUX_BUILD/tools/varno-ctl" ]; then
  cmake -S "$root" -B "$VARNO_LINUX_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$VARNO_LINUX_BUILD" -j "${JOBS:-$(nproc)}" --target kfs-devserver varno-ctl >/dev/null
fi

export WINEPREFIX="$build/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY
mkdir -p "$WINEPREFIX"

stop() { wineserver -k >/dev/null 2>&1 || true; }
trap stop EXIT

setsid wineserver -p </dev/null >/dev/null 2>&1
# Creates the prefix the first time; every time, starts Wine's own background processes
# here, detached, rather than in the first test.
setsid /usr/lib/wine/wine64 wineboot.exe </dev/null >/dev/null 2>&1 || true

cd "$build"
status=0
ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@" || status=$?
# What the system under test could not show: the tests print it as "note:" lines or skip
# with a reason; ctest keeps both only in its log.
grep -h -A1 -E '^note: |\] Skipped$|: Skipped$' Testing/Temporary/LastTest.log 2>/dev/null |
  grep -v -E '^--$|^\[|^peer:' | sort -u | sed 's/^/windows-test: /' || true
sed 's/^/windows-test: /' windows-not-run.txt 2>/dev/null || true
grep -h '^windows-e2e: ' Testing/Temporary/LastTest.log 2>/dev/null | sort -u || true
exit $status
