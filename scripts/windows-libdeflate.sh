#!/usr/bin/env bash
# Builds libdeflate for mingw-w64 into BUILD/deps/libdeflate (include/, lib/), from the
# Debian source package of the version the Linux build links (1.14), so that both builds
# store the same bytes. Debian ships no mingw build of it. Runs once per build folder: a
# present library is kept.
#
# usage: windows-libdeflate.sh BUILD
set -euo pipefail
# shellcheck source=scripts/debian-source.sh
. "$(dirname "$(realpath "$0")")/debian-source.sh"

build=$(realpath -m "${1:?usage: windows-libdeflate.sh BUILD}")
prefix="$build/deps/libdeflate"
pinned=1.14
[ -f "$prefix/lib/libdeflatestatic.a" ] && exit 0

work="$build/deps/libdeflate-src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fetch_debian_source libdeflate "$pinned"
[ -n "$fetched" ] || { echo "windows-libdeflate: no libdeflate $pinned source package could be fetched" >&2; exit 1; }
echo "libdeflate $fetched: building the static library for mingw64"

cd src
# Only the static library: no programs, no DLL. The sources' own warnings are not ours to
# fix; the log is kept for a failure.
if ! make -j"$(nproc)" CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
     libdeflatestatic.lib >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log" >&2
  exit 1
fi
mkdir -p "$prefix/lib" "$prefix/include"
cp libdeflatestatic.lib "$prefix/lib/libdeflatestatic.a"
cp libdeflate.h "$prefix/include/"
echo "libdeflate: $prefix"
