#!/usr/bin/env bash
# Runs the Windows tests under Wine in a prefix of the build folder, then the process tests
# against the Windows agent (windows-process.sh). The Wine server is
# started first, detached: a server started by a test would keep the test's output pipe
# open for seconds after the test ended. It is stopped at the end, whatever happened.
# A test that Wine ended before it printed a line is run once more (see silent_failures).
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

# One left running by an earlier run in this prefix will do.
setsid wineserver -p </dev/null >/dev/null 2>&1 || true
# Creates the prefix the first time; every time, starts Wine's own background processes
# here, detached, rather than in the first test.
setsid /usr/lib/wine/wine64 wineboot.exe </dev/null >/dev/null 2>&1 || true

# The failed tests of the last run that printed nothing at all: Wine ended them before the
# program's first line, which says nothing of the code under test.
silent_failures() {
  [ -s Testing/Temporary/LastTestsFailed.log ] || return 0
  awk -v failed="$(cut -d: -f2- Testing/Temporary/LastTestsFailed.log)" '
    BEGIN { n = split(failed, list, "\n"); for (i = 1; i <= n; i++) want[list[i]] = 1 }
    /^[0-9]+\/[0-9]+ Test: / { name = $3; lines = 0 }
    /^Output:$/ { inside = 1; getline; next }
    /^<end of output>$/ { if (inside && lines == 0 && name in want) print name; inside = 0 }
    inside { lines++ }' Testing/Temporary/LastTest.log
}

cd "$build"
status=0
ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@" || status=$?
# A ctest that ended before any test ran leaves no log: the run fails, with its notes.
cp Testing/Temporary/LastTest.log Testing/Temporary/FirstTest.log 2>/dev/null || true
logs=(Testing/Temporary/FirstTest.log)
if [ "$status" -ne 0 ]; then
  silent=$(silent_failures)
  # Only when every failure is of that kind: one that printed anything is a real failure.
  if [ -n "$silent" ] &&
     [ "$(wc -l <<<"$silent")" -eq "$(wc -l <Testing/Temporary/LastTestsFailed.log)" ]; then
    echo "windows-test: Wine ended these before they printed anything; running them again:"
    printf '  %s\n' $silent
    status=0
    ctest --output-on-failure --rerun-failed || status=$?
    logs+=(Testing/Temporary/LastTest.log)
  fi
fi
# The process tests against the Windows agent, one at a time (they share the prefix's D:);
# VARNO_WINDOWS_PROCESS=0 leaves them out.
if [ "${VARNO_WINDOWS_PROCESS:-1}" != 0 ]; then
  bash "$root/scripts/windows-process.sh" "$build" "$VARNO_LINUX_BUILD" || status=$?
fi
# What the system under test could not show: the tests print it as "note:" lines or skip
# with a reason; ctest keeps both only in its log.
grep -h -A1 -E '^note: |\] Skipped$|: Skipped$' "${logs[@]}" 2>/dev/null |
  grep -v -E '^--$|^\[|^peer:|^windows-' | sort -u | sed 's/^/windows-test: /' || true
sed 's/^/windows-test: /' windows-not-run.txt 2>/dev/null || true
grep -h -E '^windows-(e2e|msi): ' "${logs[@]}" 2>/dev/null | sort -u || true
exit $status
