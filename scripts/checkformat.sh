#!/usr/bin/env bash
# Every C++ source as .clang-format writes it; `make format` rewrites them.
set -uo pipefail
cd "$(dirname "$0")/.."
if ! git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror 2>/tmp/varno-format.$$; then
  echo "checkformat: these files differ from .clang-format (run 'make format'):"
  grep -o '^[^:]*\.\(cpp\|h\):' /tmp/varno-format.$$ | sort -u | sed 's/:$//'
  rm -f /tmp/varno-format.$$
  exit 1
fi
rm -f /tmp/varno-format.$$
