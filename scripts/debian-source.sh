# Sourced by the scripts that cross-build a library from its Debian source package.
#
# fetch_debian_source PACKAGE [VERSION_PREFIX]: unpacks into ./src the newest source
# version of PACKAGE (of the upstream version VERSION_PREFIX when given) whose files are
# all still on the mirror, and sets `fetched` to that version (empty when none could be).

fetch_debian_source() {
  local package=$1 pinned=${2:-} sudo="" version list f
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The source archive beside the binary one: same mirrors, suites and keys.
  if ! apt-cache showsrc "$package" 2>/dev/null | grep -q "^Package: $package\$"; then
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
  fetched=""
  for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -Vr -u); do
    if [ -n "$pinned" ]; then
      case "${version#*:}" in "$pinned"-*) ;; *) continue ;; esac
    fi
    if apt-get source -qq --download-only "$package=$version" >/dev/null 2>&1 &&
       dpkg-source -x --no-check "${package}_${version#*:}.dsc" src >/dev/null 2>&1; then
      fetched=$version
      return 0
    fi
    rm -rf src ./*.dsc ./*.tar.* 2>/dev/null || true
  done
}
