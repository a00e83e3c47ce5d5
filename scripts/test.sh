#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2)
bash scripts/test-mipsel.sh
