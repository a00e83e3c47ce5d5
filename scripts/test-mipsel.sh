#!/usr/bin/env bash
# Builds for the controller's CPU (32-bit MIPS, little-endian) into
# build-mipsel/, and again with a 64-bit time_t into build-mipsel-time64/,
# and runs the tests of each there under qemu-mipsel.
# Installs what the cross build needs (as root or through sudo,
# non-interactive); packages already present are not fetched again.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@"; }

# qemu-user without its binfmt companion, which would register handlers
# machine-wide; ctest calls qemu-mipsel itself.
packages=(cmake ninja-build libboost-dev googletest g++-mipsel-linux-gnu qemu-user libjsoncpp-dev:mipsel)
dpkg --print-foreign-architectures | grep -qx mipsel || $SUDO dpkg --add-architecture mipsel
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  apt_install "${missing[@]}"
fi
# GoogleTest for the target must match the build machine's libgtest-dev
# version; where it cannot be installed, the build compiles it from
# /usr/src/googletest instead.
installed libgtest-dev:mipsel || apt_install libgtest-dev:mipsel ||
  echo "libgtest-dev:mipsel cannot be installed: GoogleTest is built from source"
# SQLite for the target's history file; where it cannot be installed beside the
# build machine's packages, tzv58-host is built without history.
installed libsqlite3-dev:mipsel || apt_install libsqlite3-dev:mipsel ||
  echo "libsqlite3-dev:mipsel cannot be installed: tzv58-host is built without history"

bash scripts/build.sh mipsel
ctest --preset mipsel

# The same suite built with a 64-bit time_t (-D_TIME_BITS=64, glibc 2.34 or
# later), as a controller image of that kind runs it, with the rigs' clocks
# in 2040. The target libraries keep no time_t in their interfaces (jsoncpp;
# Boost is header-only), so the one set of them serves both builds.
bash scripts/build.sh mipsel-time64
ctest --preset mipsel-time64
