#!/usr/bin/env bash
# varno.dll exports exactly the native methods javac declares for com.varno.Native, by
# their undecorated names, and nothing else.
#
# usage: windows-exports.sh DLL JNI_HEADER
set -euo pipefail
dll=${1:?usage: windows-exports.sh DLL JNI_HEADER}
header=${2:?usage: windows-exports.sh DLL JNI_HEADER}

expected=$(grep -o 'Java_com_varno_Native_[A-Za-z0-9_]*' "$header" | sort -u)
exported=$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
if [ "$expected" != "$exported" ]; then
  echo "varno.dll exports differ from the javac header (< header, > dll):"
  diff <(echo "$expected") <(echo "$exported") || true
  exit 1
fi
echo "varno.dll exports the $(echo "$exported" | wc -l) native methods of the javac header"
