#!/usr/bin/env bash
# The Windows installer: stages the programs, the report templates, the guide, the task
# and the read-me under their installed names, then builds packaging/windows/varno.wxs
# there with wixl (msitools). Any complaint from wixl fails the build: it goes on past
# attributes it does not know and leaves them out of the package.
#
# usage: windows-package.sh OUT.msi VERSION AGENT.exe CTL.exe BRIDGE.dll
set -euo pipefail
usage="usage: windows-package.sh OUT.msi VERSION AGENT.exe CTL.exe BRIDGE.dll"
[ $# -eq 5 ] || { echo "$usage" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
version=$2
# Windows Installer compares three fields; the upgrade range ends below the next build.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
  echo "windows-package: version '$version' is not MAJOR.MINOR.BUILD" >&2
  exit 2
fi
below="${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.$((BASH_REMATCH[3] + 1))"

stage=$(mktemp -d "$(dirname "$out")/.msi-stage-XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/etc"
cp "$3" "$stage/varno-backup.exe"
cp "$4" "$stage/varno-ctl.exe"
cp "$5" "$stage/varno.dll"
cp "$root"/etc/*.emt "$stage/etc/"
cp "$root/docs/operating.md" "$root/packaging/windows/varno-nightly.xml" "$stage/"
# Notepad's line ends.
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/packaging/windows/README.txt" \
  >"$stage/README.txt"

if ! (cd "$stage" && wixl -a x64 -D Version="$version" -D UpgradeBelow="$below" \
        -o "$stage/varno.msi" "$root/packaging/windows/varno.wxs") >"$stage/wixl.log" 2>&1 ||
   grep -q -E 'WARNING|CRITICAL|rror' "$stage/wixl.log"; then
  echo "windows-package: wixl failed" >&2
  cat "$stage/wixl.log" >&2
  exit 1
fi
mv "$stage/varno.msi" "$out"
echo "$out"
