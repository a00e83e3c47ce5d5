#!/usr/bin/env bash
# Configures and builds one preset of CMakePresets.json:
#   scripts/build.sh PRESET [cmake options...]
# PRESET is native (build/), asan (build-asan/), fuzz (build-fuzz/) or
# mipsel (build-mipsel/).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-native}
shift || true
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset"
