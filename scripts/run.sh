#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the main job: the stand-in
# host polling a simulated power system for three rounds. Standard output
# carries the JSON-lines events, the plug-in's diagnostics and a summary of
# each round. With arguments, they go to tzv58-host instead
# (e.g. simulate --faults drop=0.2 --events events.jsonl).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native >/dev/null
if [ $# -gt 0 ]; then
  exec build/tools/tzv58-host "$@"
fi
exec build/tools/tzv58-host simulate --rounds 3
