#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the whole test suite:
# native; again under AddressSanitizer + UndefinedBehaviorSanitizer; a short
# run of every fuzz target; and the unit tests on the 32-bit MIPS target
# under emulation. Each step says what it does in one line; builds show
# their progress, ctest each test.
set -euo pipefail
cd "$(dirname "$0")/.."
step() { echo "== $*"; }
bash scripts/setup.sh test clang libclang-rt-14-dev
step "building natively: the plug-in, tzv58-host, the tests and the benchmarks"
bash scripts/build.sh native
step "running the tests"
ctest --preset native
step "building under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/build.sh asan
step "running the tests under the sanitizers"
ctest --preset asan
step "building the fuzz targets"
bash scripts/build.sh fuzz -DTZV58_FUZZ_SECONDS="${TZV58_FUZZ_SECONDS:-25}"
step "running each fuzz target for ${TZV58_FUZZ_SECONDS:-25} s"
ctest --preset fuzz
step "building for 32-bit MIPS and running the tests under qemu"
bash scripts/test-mipsel.sh
