#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any further packages
# named as arguments (the Windows build, the fuzz build and the benchmark add theirs).
# Quiet and quick when everything is already present; safe to run any number of times.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config clang-format
  libssl-dev zlib1g-dev libdeflate-dev libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libcap-dev
  default-jdk-headless python3 openssl
  libxcb1-dev default-jre xvfb x11-utils
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
