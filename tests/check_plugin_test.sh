#!/usr/bin/env bash
# scripts/check-plugin.sh on the built plug-in, for the target it was built for:
#  - against the runtime the tests load it into (the build machine's, or the
#    target's multiarch libraries that the emulator uses) and the host program
#    built beside it: it loads;
#  - against a small sysroot made here, whose C library defines every symbol
#    the plug-in needs except those of the newest GLIBC version it asks for:
#    refused with status 1, naming each of those symbols.
#
#   check_plugin_test.sh CHECK_SCRIPT PLUGIN HOST_PROGRAM CXX
#
# CXX is the target's compiler: it builds the stand-in C library and finds the
# real runtime libraries to put beside it.
set -euo pipefail
check=$1 so=$2 host=$3 cxx=$4
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# ---- the runtime the tests use ----
status=0
out=$(bash "$check" "$so" --sysroot / --host "$host") || status=$?
echo "$out"
[ $status -eq 0 ] || fail "status $status against / and $host"
grep -qx 'result: loads' <<<"$out" || fail "no 'result: loads'"
grep -qx '  exports       get_providers' <<<"$out" || fail "exports other than get_providers alone"
needed=$(readelf -dW "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
! grep -q '^libjsoncpp' <<<"$needed" || fail "jsoncpp is NEEDED"
! grep -q 'dlsym' <<<"$out" || fail "dlsym is imported"
# The stand-in host's clock is a weak reference: a host without it loads the
# plug-in all the same.
sed -n '/^  weak/,/^[a-z ]\{2\}[a-z]/p' <<<"$out" | grep -qx ' *tzv58_host_local_time' ||
    fail "tzv58_host_local_time is not among the weak references"

# ---- a C library one version short ----
# "index file version" for each version the plug-in needs.
needs=$(readelf -VW "$so" | awk '
    /^Version needs section/ { on = 1; next }
    /^Version (symbols|definition) section/ { on = 0 }
    on && /File:/ { for (i = 1; i <= NF; i++) if ($i == "File:") file = $(i + 1) }
    on && /Name:/ { for (i = 1; i <= NF; i++) { if ($i == "Name:") v = $(i + 1); if ($i == "Version:") n = $(i + 1) }
                    print n, file, v }')
# "symbol version" for each symbol it takes from libc.so.6.
libc_imports=$(readelf --dyn-syms -W "$so" | awk -v needs="$needs" '
    BEGIN { n = split(needs, lines, "\n"); for (i = 1; i <= n; i++) { split(lines[i], f, " "); file[f[1]] = f[2] } }
    $1 ~ /^[0-9]+:$/ && $7 == "UND" && NF >= 9 {
        split($8, a, "@"); idx = $9; gsub(/[()]/, "", idx)
        if (file[idx] == "libc.so.6") print a[1], a[2]
    }')
top=$(awk '{ print $2 }' <<<"$libc_imports" | sort -uV | tail -n 1)
[ -n "$top" ] || { echo "FAIL: the plug-in takes no versioned symbol from libc.so.6"; exit 1; }
dropped=$(awk -v t="$top" '$2 == t { print $1 }' <<<"$libc_imports")
kept=$(awk -v t="$top" '$2 != t' <<<"$libc_imports")
echo "stand-in libc.so.6: every version the plug-in needs but $top ($(tr '\n' ' ' <<<"$dropped"))"

mkdir -p "$scratch/root/lib"
i=0
while read -r name version; do
    [ -n "$name" ] || continue
    echo "extern \"C\" void stub_$i() __asm__(\"$name\"); void stub_$i() {}"
    i=$((i + 1))
done <<<"$kept" >"$scratch/libc.cpp"
awk '{ by[$2] = by[$2] " " $1 ";" } END { for (v in by) print v " { global:" by[v] " };" }' <<<"$kept" >"$scratch/libc.map"
"$cxx" -shared -fPIC -nostdlib -o "$scratch/root/lib/libc.so.6" "$scratch/libc.cpp" \
    -Wl,-soname,libc.so.6 -Wl,--version-script,"$scratch/libc.map"
# The other libraries as they are.
for lib in $needed libjsoncpp.so; do
    [ "$lib" != libc.so.6 ] || continue
    path=$("$cxx" -print-file-name="$lib")
    [ -e "$path" ] || { echo "FAIL: $cxx finds no $lib"; exit 1; }
    soname=$(readelf -dW "$path" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    cp -L "$path" "$scratch/root/lib/${soname:-$lib}"
done

status=0
out=$(bash "$check" "$so" --sysroot "$scratch/root") || status=$?
sed -n '/^against/,$p' <<<"$out"
[ $status -eq 1 ] || fail "status $status against the stand-in libc, not 1"
grep -qx 'result: would NOT load' <<<"$out" || fail "no 'result: would NOT load'"
while read -r name; do
    grep -qxF "  libc.so.6 has no $top, needed by $(c++filt <<<"$name")" <<<"$out" || fail "$name is not named"
done <<<"$dropped"
reasons=$(sed -n '/^result: would NOT load/,$p' <<<"$out" | tail -n +2 | wc -l)
[ "$reasons" -eq "$(wc -l <<<"$dropped")" ] || fail "$reasons reasons for $(wc -l <<<"$dropped") missing symbols"

[ $failures -eq 0 ]
