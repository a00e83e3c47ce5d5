#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the main job: the stand-in
# host polling a simulated power system for three rounds. Standard output
# shows a readable summary of each round and the alarms raised or cleared;
# each step of the set-up says what it does on standard error, and the build
# shows its progress there.
# With arguments, they go to tzv58-host instead
# (e.g. simulate --faults drop=0.2 --events events.jsonl, or --events - for
# JSON lines alone).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
# The plug-in and the program alone: the test command builds the tests.
echo "building tzv58-host and the plug-in, a few minutes on 2 cores" >&2
cmake --preset native -DTZV58_TESTS=OFF -DTZV58_BENCH=OFF -DTZV58_HEADER_CHECK=OFF >/dev/null
cmake --build --preset native >&2
if [ $# -gt 0 ]; then
  exec build/tools/tzv58-host "$@"
fi
exec build/tools/tzv58-host simulate --rounds 3
