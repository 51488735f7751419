#!/usr/bin/env bash
# Stored bytes and CPU time of the block chain against zlib 9, per corpus: the bench
# corpora and samples of real files (text, headers, shared libraries, files of 1-4 KiB).
# The compression stage keeps its promise when no "chain" figure exceeds zlib 9's.
#   scripts/deflate-bench.sh BUILD [--quick] [--levels]
set -euo pipefail
build=${1:-build}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
case "$build" in /*) ;; *) build="$root/$build" ;; esac
dir=${BENCH_DIR:-$build/bench}/deflate
kinds="mixed small"
args=()
for a in "$@"; do
  case "$a" in
    --quick) kinds="quick-mixed quick-small" ;;
    *) args+=("$a") ;;
  esac
done
mkdir -p "$dir"
lists=()
for kind in $kinds; do
  [ -d "$dir/$kind" ] || python3 "$root/bench/corpus.py" generate "$kind" "$dir/$kind" >/dev/null
  find "$dir/$kind" -type f | sort >"$dir/$kind.list"
  lists+=("$kind=$dir/$kind.list")
done
# Every third (eighth, ...) file by name: the same sample on the same system.
find /usr/share/doc -type f | sort | awk 'NR%3==0' >"$dir/doc.list"
find /usr/include -type f | sort | awk 'NR%3==0' >"$dir/include.list"
find /usr/lib -type f -name '*.so*' | sort | awk 'NR%24==0' >"$dir/lib.list"
find /usr/share /usr/include /etc -type f -size +1k -size -5k 2>/dev/null | sort |
  awk 'NR%10==0' >"$dir/tiny.list"
for name in doc include lib tiny; do lists+=("$name=$dir/$name.list"); done
exec "$build/bench/deflate_bench" "${args[@]}" "${lists[@]}"
