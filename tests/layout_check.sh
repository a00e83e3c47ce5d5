#!/bin/sh
# Folders depend one way: host <- telemetry <- alarms <- device <- plugin.
# tools/ reaches the plug-in only through dlopen: it includes host/, the
# model's descriptor (device/model.h) and the tables it names (its values,
# telemetry/values.h), the byte helpers (telemetry/bytes.h) and the rule for
# the DC reply's layout (telemetry/dc_layout.h); tools/cli also the device's
# configuration reader (device/setting_value.h) and its control codes
# (device/control_code.h). Nothing else of the plug-in, and never a record's
# type. Its own folders depend one way too:
#   cli -> live, history, notify -> line -> report, sim -> common
# Prints every include that breaks this; status 1 if any; a folder of tools/
# that has no rule here is an error of its own.
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
    plugin_side='host/|telemetry/(values|bytes|dc_layout)\.h$|device/model\.h$'
    check tools/common "^(tools/common/|$plugin_side)"
    check tools/report "^(tools/(report|common)/|$plugin_side)"
    check tools/sim "^(tools/(sim|common)/|$plugin_side)"
    check tools/line "^(tools/(line|report|common)/|$plugin_side)"
    check tools/live "^(tools/(live|line|report|common)/|$plugin_side)"
    check tools/history "^(tools/(history|report|common)/|$plugin_side)"
    check tools/notify "^(tools/(notify|report|common)/|$plugin_side)"
    check tools/cli "^(tools/|$plugin_side|device/(setting_value|control_code)\.h$)"
    for d in tools/*/ tools/*.h tools/*.cpp; do
        [ -e "$d" ] || continue
        case "$d" in
        tools/common/ | tools/report/ | tools/sim/ | tools/line/ | tools/live/ | tools/history/ | tools/notify/ | tools/cli/) ;;
        *) echo "$d: no dependency rule for this part of tools/" ;;
        esac
    done
)
if [ -n "$out" ]; then
    echo "$out"
    bad=1
fi
exit $bad
