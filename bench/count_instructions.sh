#!/bin/sh
# Instructions per poll round of the device's own code, counted by callgrind:
# alarm checks included, diagnostic output excluded.
#
#   bench/count_instructions.sh [BUILD_DIR] [ROUNDS]
#
# bench_round --count runs ROUNDS rounds after two warm-up rounds, with
# collection switched on only around the device's entry points (RefreshStatus
# and each process() call, codec included). From that total the script takes
# away the inclusive cost of every call that the program's own code makes
# into the C and C++ libraries' output functions (printf, fflush, ostream
# insertion, endl): the device's diagnostic lines. The codec column is the
# share of the host's reply parser (feed and frame checks, without the device
# work it hands frames to).
set -eu
build=${1:-build}
rounds=${2:-20}
bin="$build/bench/bench_round"
[ -x "$bin" ] || { echo "no $bin: build first" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '%-16s %12s %12s %12s %10s %10s\n' round instructions diagnostics "without diag" codec wire_bytes
for plant in minimal typical full; do
    for kind in first steady; do
        f="$out/$plant.$kind"
        valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$f.cg" \
            "$bin" --count="$plant/$kind" --rounds="$rounds" >"$f.txt" 2>"$f.log" ||
            { cat "$f.log" >&2; exit 1; }
        wire=$(awk '{ print $NF }' "$f.txt")
        awk -v rounds="$rounds" -v what="$plant/$kind" -v wire="$wire" -v self="$(basename "$bin")" '
            # Compressed names: "(id) name" the first time, "(id)" after.
            function named(s, map,    id) {
                if (match(s, /^\([0-9]+\)/)) {
                    id = substr(s, 2, RLENGTH - 2)
                    if (length(s) > RLENGTH) map[id] = substr(s, RLENGTH + 2)
                    return map[id]
                }
                return s
            }
            function diagnostic(f) {
                return f ~ /^(printf|fflush|puts|putchar|fputs|fwrite)$/ ||
                       f ~ /std::operator<< *<std::char_traits<char> >/ ||
                       f ~ /^std::basic_ostream<char, std::char_traits<char> >::(operator<<|put|flush|_M_insert)/ ||
                       f ~ /std::endl|std::__ostream_insert|std::ostream::/
            }
            /^summary:/ { total = $2 }
            /^ob=/ { ob = named(substr($0, 4), objs); next }
            /^cob=/ { named(substr($0, 5), objs); next }
            /^fn=/ { fn = named(substr($0, 4), fns); own = ob ~ ("/" self "$"); next }
            /^cfn=/ { cfn = named(substr($0, 5), fns); next }
            /^calls=/ { call = 1; next }
            call {
                call = 0
                if (own && diagnostic(cfn)) diag += $2
                if (fn ~ /^PMBusProtocol::process\(/ && cfn ~ /FrameParser::feed/) codec += $2
                if (fn ~ /FrameParser::/ && cfn ~ /PMBusProtocol::(Sink::)?on_frame/) codec -= $2
                next
            }
            END {
                printf "%-16s %12.0f %12.0f %12.0f %10.0f %10s\n", what, total / rounds, diag / rounds, (total - diag) / rounds,
                       codec / rounds, wire
            }' "$f.cg"
    done
done
