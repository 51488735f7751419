#!/usr/bin/env bash
# House rules a compiler does not check: no unbounded string functions anywhere, and the
# POSIX calls that stand for Windows services only inside platform/posix/.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

banned=$(git ls-files '*.cpp' '*.h' | xargs -r grep -n -E '\b(sprintf|vsprintf|strcpy|strcat|atoi|atol|gets)[[:space:]]*\(' || true)
if [ -n "$banned" ]; then
  echo "checksrc: unbounded or unchecked string functions:"; echo "$banned"; status=1
fi

raw=$(git ls-files '*.cpp' '*.h' | grep -v -E '^(platform/posix/|tests/|bench/|tools/kfs-devserver/)' |
  xargs -r grep -n -E '(^|[^_.>:[:alnum:]])(opendir|readdir|lstat|chdir|fork|execv[pe]?|execl[pe]?|shm_open|sem_open|mkfifo|flock|prctl)[[:space:]]*\(' || true)
if [ -n "$raw" ]; then
  echo "checksrc: raw POSIX calls outside platform/posix/:"; echo "$raw"; status=1
fi
exit $status
