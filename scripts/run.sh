#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the main job: the stand-in
# host loading the plug-in. Extra arguments go to tzv58-host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
exec build/tools/tzv58-host "$@"
