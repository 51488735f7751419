#!/usr/bin/env bash
# Builds libdeflate for mingw-w64 into BUILD/deps/libdeflate (include/, lib/), from the
# Debian source package of the version the Linux build links (1.14), so that both builds
# store the same bytes. Debian ships no mingw build of it. Runs once per build folder: a
# present library is kept.
#
# usage: windows-libdeflate.sh BUILD
set -euo pipefail

build=$(realpath -m "${1:?usage: windows-libdeflate.sh BUILD}")
prefix="$build/deps/libdeflate"
pinned=1.14
[ -f "$prefix/lib/libdeflatestatic.a" ] && exit 0

work="$build/deps/libdeflate-src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The source archive beside the binary one: same mirrors, suites and keys.
if ! apt-cache showsrc libdeflate 2>/dev/null | grep -q '^Package: libdeflate'; then
  list=/etc/apt/sources.list.d/debian-src.sources
  if [ ! -f "$list" ]; then
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      sed -n 's/^Types: deb$/Types: deb-src/; /^Types:/,$p' "$f"
      echo
    done | $sudo tee "$list" >/dev/null
  fi
  # A machine installed from media lists its mirrors one per line instead.
  if [ -f /etc/apt/sources.list ] && [ ! -f /etc/apt/sources.list.d/debian-src.list ]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list |
      $sudo tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  $sudo apt-get update -qq >/dev/null
fi

# Newest Debian revision of the pinned upstream version; a version whose files are not all
# on the mirror any more is passed over.
fetched=""
for version in $(apt-cache showsrc libdeflate | sed -n 's/^Version: //p' | sort -Vr -u); do
  case "${version#*:}" in "$pinned"-*) ;; *) continue ;; esac
  if apt-get source -qq --download-only "libdeflate=$version" >/dev/null 2>&1 &&
     dpkg-source -x --no-check "libdeflate_${version#*:}.dsc" src >/dev/null 2>&1; then
    fetched=$version
    break
  fi
  rm -rf src ./*.dsc ./*.tar.* 2>/dev/null || true
done
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
