#!/usr/bin/env bash
# The Windows build: installs the cross tools, builds OpenSSL's libcrypto, libdeflate and
# googletest for mingw-w64 once per build folder, then configures and builds the tree.
#
# usage: windows.sh [BUILD]   (default build-win)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-win}")
jobs=${JOBS:-$(nproc)}

bash "$root/scripts/windows-deps.sh"
bash "$root/scripts/windows-openssl.sh" "$build"
bash "$root/scripts/windows-libdeflate.sh" "$build"
bash "$root/scripts/windows-googletest.sh" "$build"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DVARNO_WIN_DEPS="$build/deps/openssl;$build/deps/libdeflate;$build/deps/googletest" \
  -DOPENSSL_ROOT_DIR="$build/deps/openssl" -DVARNO_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"
