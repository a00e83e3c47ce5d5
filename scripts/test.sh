#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the whole test suite:
# native; again under AddressSanitizer + UndefinedBehaviorSanitizer; a short
# run of every fuzz target; and the unit tests on the 32-bit MIPS target
# under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh clang libclang-rt-14-dev
bash scripts/build.sh native
ctest --preset native
bash scripts/build.sh asan
ctest --preset asan
bash scripts/build.sh fuzz -DTZV58_FUZZ_SECONDS="${TZV58_FUZZ_SECONDS:-25}"
ctest --preset fuzz
bash scripts/test-mipsel.sh
