#!/usr/bin/env bash
# make bench: end-to-end speed of varno-backup + kfs-devserver against restic and borg on
# generated corpora, mixed and small files each in two shapes (first full backup, unchanged
# re-run, re-run after a 1 % change; three times, the tools interleaved, medians printed).
# Never part of `make test`; it only prints figures.
#   scripts/bench.sh BUILD [--quick] [more bench/e2e.py options]
# Corpora and repositories go under BENCH_DIR (default BUILD/bench).
set -euo pipefail
build=${1:-build}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
case "$build" in /*) ;; *) build="$root/$build" ;; esac
dir=${BENCH_DIR:-$build/bench}

# restic and borg are installed only to be measured against.
bash "$root/scripts/install-deps.sh" restic borgbackup

mkdir -p "$dir"
# The compression stage against zlib 9 first: stored bytes and CPU time per corpus.
quick=""
for a in "$@"; do if [ "$a" = --quick ]; then quick=--quick; fi; done
BENCH_DIR="$dir" bash "$root/scripts/deflate-bench.sh" "$build" $quick
echo "bench: restic $(restic version | cut -d' ' -f2), $(borg --version); folder $dir"
exec python3 "$root/bench/e2e.py" --build "$build" --dir "$dir" "$@"
