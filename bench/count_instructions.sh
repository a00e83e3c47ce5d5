#!/bin/sh
# Instructions per poll round of the device's own code, counted by callgrind:
# alarm checks included. bench_round drops the diagnostic lines (they are not
# even formed), so nothing needs taking away.
#
#   bench/count_instructions.sh [BUILD_DIR] [ROUNDS]
#
# bench_round --count runs ROUNDS rounds after two warm-up rounds, with
# collection switched on only around the device's entry points (RefreshStatus
# and each process() call, codec included). The codec column is the share of
# the host's reply parser (feed and frame checks, without the device work it
# hands frames to).
set -eu
build=${1:-build}
rounds=${2:-20}
bin="$build/bench/bench_round"
[ -x "$bin" ] || { echo "no $bin: build first" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '%-16s %12s %10s %10s\n' round instructions codec wire_bytes
for plant in minimal typical full; do
    for kind in first steady; do
        f="$out/$plant.$kind"
        valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$f.cg" \
            "$bin" --count="$plant/$kind" --rounds="$rounds" >"$f.txt" 2>"$f.log" ||
            { cat "$f.log" >&2; exit 1; }
        wire=$(awk '{ print $NF }' "$f.txt")
        awk -v rounds="$rounds" -v what="$plant/$kind" -v wire="$wire" '
            # Compressed names: "(id) name" the first time, "(id)" after.
            function named(s, map,    id) {
                if (match(s, /^\([0-9]+\)/)) {
                    id = substr(s, 2, RLENGTH - 2)
                    if (length(s) > RLENGTH) map[id] = substr(s, RLENGTH + 2)
                    return map[id]
                }
                return s
            }
            /^summary:/ { total = $2 }
            /^ob=/ { named(substr($0, 4), objs); next }
            /^cob=/ { named(substr($0, 5), objs); next }
            /^fn=/ { fn = named(substr($0, 4), fns); next }
            /^cfn=/ { cfn = named(substr($0, 5), fns); next }
            /^calls=/ { call = 1; next }
            call {
                call = 0
                if (fn ~ /^PMBusProtocol::process\(/ && cfn ~ /FrameParser::feed/) codec += $2
                if (fn ~ /FrameParser::/ && cfn ~ /PMBusProtocol::(Receiver::)?on_frame/) codec -= $2
                next
            }
            END {
                printf "%-16s %12.0f %10.0f %10s\n", what, total / rounds, codec / rounds, wire
            }' "$f.cg"
    done
done
