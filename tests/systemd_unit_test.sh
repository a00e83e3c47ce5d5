#!/bin/sh
# The service unit for a site (contrib/systemd/tzv58-host@.service):
# systemd-analyze verifies it without a word, its exposure stays low, it
# restarts on failure but not on bad input, and its command line runs:
# polled against a plant on a pseudo-terminal for one round, with the unit's
# own folders moved into a scratch folder.
#   systemd_unit_test.sh SOURCE_DIR HOST_PROGRAM
set -u
src=$1
host=$2
unit=$src/contrib/systemd/tzv58-host@.service
d=$(mktemp -d /tmp/tzv58-unit-XXXXXX)
plant_pid=
cleanup() {
    [ -n "$plant_pid" ] && kill "$plant_pid" 2>/dev/null && wait "$plant_pid" 2>/dev/null
    rm -rf "$d"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

# An instance of the template, with the program where this build put it.
sed "s|/usr/local/bin/tzv58-host|$host|" "$unit" >"$d/tzv58-host@ttyUSB0.service"
out=$(cd "$d" && systemd-analyze verify "./tzv58-host@ttyUSB0.service" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify has something to say: $out"
out=$(cd "$d" && systemd-analyze security --offline=yes --threshold=25 "./tzv58-host@ttyUSB0.service" 2>&1) ||
    fail "exposure above 2.5: $(echo "$out" | tail -1)"

# Started again when the line or the device failed (status 1), not for bad
# input (status 2); a port not there yet at boot is waited for.
grep -qx 'Restart=on-failure' "$unit" || fail "no Restart=on-failure"
grep -qx 'RestartPreventExitStatus=2' "$unit" || fail "no RestartPreventExitStatus=2"
grep -q '^ExecStart=.* --wait-port ' "$unit" || fail "ExecStart does not wait for the port"

# The unit's command line, instance ttyUSB0, against a plant.
mkdir -p "$d/run/ttyUSB0" "$d/state"
: >"$d/plant.out"
"$host" plant --link "$d/ttyUSB0" >"$d/plant.out" 2>&1 &
plant_pid=$!
i=0
until grep -q '^ready ' "$d/plant.out"; do
    i=$((i + 1))
    [ $i -le 400 ] || fail "the plant did not come up: $(cat "$d/plant.out")"
    kill -0 "$plant_pid" 2>/dev/null || fail "the plant ended: $(cat "$d/plant.out")"
    sleep 0.05
done
line=$(sed -n 's/^ExecStart=//p' "$unit")
line=$(echo "$line" | sed -e "s|/usr/local/bin/tzv58-host|$host|" -e "s|/dev/%I|$d/ttyUSB0|" \
    -e "s|/run/tzv58-host/%i|$d/run/ttyUSB0|" -e "s|/var/lib/tzv58-host/%i|$d/state/ttyUSB0|" \
    -e 's|\$TZV58_OPTIONS|--rounds 1 --http 127.0.0.1:0|')
# shellcheck disable=SC2086
$line >"$d/poll.out" 2>"$d/poll.err" || fail "the unit's command line failed: $line: $(cat "$d/poll.err")"
grep -q '^== round 1: ' "$d/poll.out" || fail "no round: $(cat "$d/poll.out")"
[ -s "$d/state/ttyUSB0.db" ] || fail "no history file"
[ ! -e "$d/run/ttyUSB0/live.sock" ] || fail "the socket was left behind"
echo "ok"
