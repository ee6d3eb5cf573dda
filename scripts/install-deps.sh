#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# only those that are missing. Safe to run again and again.
#   scripts/install-deps.sh          build and test dependencies
#   scripts/install-deps.sh --bench  also the benchmark's peer and timers
set -euo pipefail

packages=(
  g++ cmake make pkg-config zlib1g-dev
  libsigc++-2.0-dev libeigen3-dev libnifti2-dev
  libgtest-dev libgmock-dev
  python3 python3-nibabel python3-numpy
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(mrtrix3 time)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

apt_line="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
  sudo_cmd=(sudo)
else
  echo "missing packages: ${missing[*]}" >&2
  echo "run as root: $apt_line" >&2
  exit 1
fi

echo "installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
