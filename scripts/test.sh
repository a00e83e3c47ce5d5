#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the whole test suite:
# native; again under AddressSanitizer + UndefinedBehaviorSanitizer; a short
# run of every fuzz target; and the unit tests on the 32-bit MIPS target
# under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh clang libclang-rt-14-dev
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2)
bash scripts/build.sh build-asan -DTZV58_SANITIZE=ON -DTZV58_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j2)
CXX=clang++ bash scripts/build.sh build-fuzz -DTZV58_FUZZ=ON -DTZV58_TESTS=OFF -DTZV58_BENCH=OFF \
  -DTZV58_FUZZ_SECONDS="${TZV58_FUZZ_SECONDS:-25}"
(cd build-fuzz && ctest --output-on-failure -j2 -L fuzz)
bash scripts/test-mipsel.sh
