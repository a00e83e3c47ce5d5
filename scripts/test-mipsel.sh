#!/usr/bin/env bash
# Builds for the controller's CPU (32-bit MIPS, little-endian) into
# build-mipsel/, and again with a 64-bit time_t into build-mipsel-time64/,
# and runs the tests of each there under qemu-mipsel. Then tries the
# controller preset with Debian's cross compiler standing in for an SDK.
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
packages=(cmake ninja-build libboost-dev googletest g++-mipsel-linux-gnu qemu-user libjsoncpp-dev:mipsel libatomic1:mipsel)
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

# The controller preset, with Debian's mipsel cross compiler as the "SDK" and
# the target's multiarch libraries as its sysroot: a toolchain file made from
# the template, the plug-in alone, its virtual tables read by the test built
# above, and what it needs checked against that runtime and the host program.
mkdir -p build-controller
sed -e 's|@PROCESSOR@|mips|' -e 's|@CROSS_PREFIX@|mipsel-linux-gnu-|' -e 's|@ARCH_FLAGS@|-march=mips32r2|' \
    -e 's|@FLOAT_FLAGS@|-mhard-float -mfpxx|' -e 's|@CXX11_ABI@|1|' -e 's|@TIME_FLAGS@||' \
    cmake/controller-toolchain.cmake.in >build-controller/debian-mipsel.cmake
export TZV58_TOOLCHAIN_FILE=$PWD/build-controller/debian-mipsel.cmake TZV58_SYSROOT=/
bash scripts/build.sh controller
TZV58_PLUGIN=$PWD/build-controller/tzv58_419.so ctest --preset mipsel -R plugin_vtable
bash scripts/check-plugin.sh build-controller/tzv58_419.so --sysroot / --host build-mipsel/tools/tzv58-host
