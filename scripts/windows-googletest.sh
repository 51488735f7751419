#!/usr/bin/env bash
# Cross-builds googletest from Debian's sources (/usr/src/googletest) into
# BUILD/deps/googletest, once per build folder.
#
# usage: windows-googletest.sh BUILD
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:?usage: windows-googletest.sh BUILD}")
prefix="$build/deps/googletest"
[ -f "$prefix/lib/libgtest.a" ] && exit 0

work="$build/deps/googletest-build"
cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF >/dev/null
cmake --build "$work" -j"$(nproc)" >/dev/null
cmake --install "$work" >/dev/null
echo "googletest: $prefix"
