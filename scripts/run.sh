#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the main job: the stand-in
# host polling a simulated power system for three rounds. Standard output
# shows a readable summary of each round and the alarms raised or cleared.
# With arguments, they go to tzv58-host instead
# (e.g. simulate --faults drop=0.2 --events events.jsonl, or --events - for
# JSON lines alone).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native >/dev/null
if [ $# -gt 0 ]; then
  exec build/tools/tzv58-host "$@"
fi
exec build/tools/tzv58-host simulate --rounds 3
