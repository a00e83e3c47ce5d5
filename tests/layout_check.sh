#!/bin/sh
# Folders depend one way: host <- telemetry <- alarms <- device <- plugin.
# tools/ reaches the plug-in only through dlopen: it includes host/ and the
# record's layout (telemetry/record.h, which needs telemetry/bytes.h), nothing
# else of the plug-in. Prints every include that breaks this; status 1 if any.
cd "${1:-.}" || exit 2
bad=0
check() {  # folder, allowed include pattern (extended regex)
    for f in "$1"/*.h "$1"/*.cpp; do
        [ -e "$f" ] || continue
        grep -n '^#include "' "$f" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1 \2/' |
            while read -r line inc; do
                echo "$inc" | grep -Eq "$2" || echo "$f:$line: includes $inc"
            done
    done
}
out=$(
    check host '^host/'
    check telemetry '^telemetry/'
    check alarms '^(alarms|telemetry|host)/'
    check device '^(device|alarms|telemetry|host)/'
    check plugin '^(plugin|device|alarms|telemetry|host)/'
    check tools '^(tools/|host/|telemetry/record\.h$|telemetry/bytes\.h$)'
)
if [ -n "$out" ]; then
    echo "$out"
    bad=1
fi
exit $bad
