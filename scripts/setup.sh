#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root,
# non-interactive). Packages already present are not fetched again.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libjsoncpp-dev libboost-dev libboost-date-time-dev
          libgtest-dev libgmock-dev libbenchmark-dev valgrind
          libsqlite3-dev libxml2-utils librsvg2-bin prometheus systemd curl "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
