#!/usr/bin/env bash
# Installs the Debian packages of one set, without their recommends (as root
# or through sudo, non-interactive); packages already there are left alone.
#   scripts/setup.sh build           what building the plug-in and tzv58-host needs
#   scripts/setup.sh test [PKG...]   the build set, the test tools and PKG...
# One line on standard error says how many packages it installs; apt's own
# output goes to a log that is shown only when apt fails.
set -euo pipefail

# The compilers, CMake with Ninja, and the libraries the code uses: jsoncpp,
# Boost (headers only: lexical_cast, date_time, Asio, Beast), SQLite.
build=(cmake ninja-build g++ libjsoncpp-dev libboost-dev libsqlite3-dev)
# GoogleTest and Google Benchmark (valgrind's header for the instruction
# counts); xmllint and rsvg-convert for the SVG trend; promtool (in
# prometheus) for the metrics; systemd-analyze for the service unit; curl
# for the webhook example; headless Chromium for the site page, with a CJK
# font so that its screenshots show the alarm texts; libfaketime (in
# faketime) to set a running program's clock back.
tests=(libgtest-dev libgmock-dev libbenchmark-dev valgrind libxml2-utils librsvg2-bin prometheus systemd curl
       chromium fonts-wqy-microhei faketime)

case "${1:-}" in
  build) packages=("${build[@]}") ;;
  test) packages=("${build[@]}" "${tests[@]}" "${@:2}") ;;
  *) echo "usage: scripts/setup.sh build | test [PACKAGE...]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
log=$(mktemp "${TMPDIR:-/tmp}/tzv58-setup.XXXXXX")
apt_get() {
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get -y -q "$@" >>"$log" 2>&1; then
    echo "setup: apt-get $1 failed; the end of its output ($log):" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
}
apt_get update
all=$(apt-get install -s --no-install-recommends "${missing[@]}" 2>/dev/null | grep -c '^Inst ' || true)
echo "installing $all packages: ${missing[*]}$([ "$all" -gt ${#missing[@]} ] && echo ' and what they need')" >&2
apt_get install --no-install-recommends "${missing[@]}"
rm -f "$log"
