#!/usr/bin/env bash
# End-to-end backups with the agent under Valgrind memcheck (part of `make soak`): the tree
# test (a generated tree backed up and restored byte for byte) and the incremental test
# (four runs against one server). A memory error or a definite leak makes the agent exit
# 99, which fails its test; memcheck's own logs stay in BUILD/valgrind/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bash scripts/install-deps.sh valgrind
logs="$PWD/$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"
export VARNO_TEST_AGENT_WRAPPER="valgrind --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --show-leak-kinds=definite --log-file=$logs/agent.%p.log"
status=0
"$build/tests/process/process_tests" \
  --gtest_filter='TreeTest.EveryRegularFileComesBackAndTheRecordsAgree:IncrementalTest.OnlyWhatChangedIsSent' ||
  status=$?
for log in "$logs"/agent.*.log; do
  printf '%s: %s; %s\n' "$(basename "$log")" \
    "$(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log" || echo 'no summary')" \
    "$(grep -o 'definitely lost: [0-9,]* bytes' "$log" || echo 'definitely lost: none')"
done
exit $status
