#!/usr/bin/env bash
# The process tests against the Windows agent: the Linux process_tests binary runs each
# test with VARNO_TEST_WINDOWS_BUILD set, so the agent (and varno-ctl wherever the agent's
# named objects are involved) is the Windows build's, under Wine; D: is the test's data
# folder through the prefix's dosdevices link. The server and the restore stay native.
# Tests that cannot run so skip with a reason, printed at the end.
#
# usage: windows-process.sh WINDOWS_BUILD [LINUX_BUILD] [ctest arguments...]
#        (WINEPREFIX set, and its wineserver running, by the caller; see windows-test.sh)
set -euo pipefail
usage="usage: windows-process.sh WINDOWS_BUILD [LINUX_BUILD] [ctest arguments...]"
win=$(realpath "${1:?$usage}")
shift
linux=${VARNO_LINUX_BUILD:-}
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  linux=$1
  shift
fi
linux=$(realpath -m "${linux:?$usage}")
for b in "$win/agent/varno-backup.exe" "$win/tools/varno-ctl.exe" \
         "$win/tests/process/varno-backup-faulty.exe" \
         "$win/tests/process/varno-backup-testjobs.exe" "$win/tests/process/board-follow.exe"; do
  [ -f "$b" ] || { echo "windows-process: $b is missing" >&2; exit 1; }
done
cmake --build "$linux" -j "${JOBS:-$(nproc)}" --target process_tests >/dev/null

export VARNO_TEST_WINDOWS_BUILD="$win"
export VARNO_SOAK_ROUNDS=${VARNO_SOAK_ROUNDS:-20}
suites='AgentProcessTest|BadInputTest|CommandJobTest|CrashTest|FaultTest|Faults/ClaimTest'
suites+='|FilterJobTest|IncrementalTest|OperatorTest|Soak|SyncTest|SyncSafetyTest|TreeTest'
suites+='|WorkersTest'
# Twenty seeded rounds of the soak; VARNO_SOAK_SEED picks another tree and fault plan.
export VARNO_SOAK_SEED=${VARNO_SOAK_SEED:-4242}
log="$win/windows-process.log"
started=$(date +%s)
status=0
# Tests take turns on the prefix's D:, so more jobs only wait.
(cd "$linux" && ctest -R "^($suites)\." --output-on-failure -j 1 "$@") >"$log" 2>&1 || status=$?
ended=$(date +%s)
grep -E '^ *[0-9]+/[0-9]+ Test +#|tests passed|Total Test time' "$log" | sed 's/^/windows-process: /'
[ "$status" -eq 0 ] || grep -v -E '^ *[0-9]+/[0-9]+ Test +#' "$log" | tail -n 200 >&2
# Every skip with its reason, and what a test left untried, one line each.
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 }
     /not run against the Windows agent: / { sub(/.*not run against the Windows agent: /, "");
                                             print "skipped " name ": " $0 }
     /^note: / { print }' "$linux/Testing/Temporary/LastTest.log" |
  sort -u | sed 's/^/windows-process: /' || true
echo "windows-process: $((ended - started)) s"
exit $status
