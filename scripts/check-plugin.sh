#!/usr/bin/env bash
# What a built tzv58_419.so is and what it needs to load, read from the file:
#
#   scripts/check-plugin.sh SO [--sysroot DIR] [--host FILE]
#
# Prints the architecture and float ABI, the std::string ABI, the exports, the
# NEEDED libraries, the highest symbol version it requires of each runtime
# library (GLIBC, GLIBCXX, CXXABI, GCC) with the symbols that require it, the
# jsoncpp symbols and the host framework's symbols it takes from the host
# process, and the weak references it can do without.
#
# --sysroot DIR: checks every requirement against the libraries of the
#   controller's root file system (or its SDK's sysroot): each NEEDED library,
#   each required symbol version and symbol of libc, libstdc++ and libgcc_s,
#   and each Json symbol against the sysroot's libjsoncpp.
# --host FILE: checks the host framework's symbols against the host program
#   (or the library that defines the framework).
# Either ends with "result: loads" (status 0) or "result: would NOT load"
# and each reason (status 1). Status 2: the command line or a file is wrong.
#
# Needs readelf and c++filt (binutils), which read any ELF target.
set -euo pipefail

usage() {
    echo "usage: $0 SO [--sysroot DIR] [--host FILE]" >&2
    exit 2
}

so="" sysroot="" host=""
while [ $# -gt 0 ]; do
    case "$1" in
        --sysroot) [ $# -ge 2 ] || usage; sysroot=$2; shift 2 ;;
        --host) [ $# -ge 2 ] || usage; host=$2; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "$0: unknown option $1" >&2; usage ;;
        *) [ -z "$so" ] || usage; so=$1; shift ;;
    esac
done
[ -n "$so" ] || usage
for tool in readelf c++filt; do
    command -v "$tool" >/dev/null || { echo "$0: needs $tool (binutils)" >&2; exit 2; }
done
elf_ok() { [ -f "$1" ] && [ -r "$1" ] && readelf -h "$1" >/dev/null 2>&1; }
elf_ok "$so" || { echo "$0: $so: not a readable ELF file" >&2; exit 2; }
[ -z "$sysroot" ] || [ -d "$sysroot" ] || { echo "$0: --sysroot $sysroot: not a folder" >&2; exit 2; }
[ -z "$host" ] || elf_ok "$host" || { echo "$0: --host $host: not a readable ELF file" >&2; exit 2; }

demangle() { c++filt; }

# Class, byte order and machine: a library of the sysroot serves the plug-in
# only if all three match.
elf_id() {
    readelf -hW "$1" 2>/dev/null | awk -F: '
        $1 ~ /^ *(Class|Data|Machine)$/ { sub(/^ +/, "", $2); id = id $2 ";" }
        END { print id }'
}

# Dynamic symbols as "bind ndx name version verneed-index" lines, one per
# symbol of the library (undefined ones have ndx UND; version may be empty).
dyn_symbols() {
    readelf --dyn-syms -W "$1" | awk '
        $1 ~ /^[0-9]+:$/ && NF >= 8 {
            name = $8; version = ""; index_ = ""
            if (match(name, /@@?/)) { version = substr(name, RSTART + RLENGTH); name = substr(name, 1, RSTART - 1) }
            if (NF >= 9) { index_ = $9; gsub(/[()]/, "", index_) }
            if (name != "" && $4 != "SECTION" && $4 != "FILE") print $5, $7, name, version, index_
        }'
}

# Version requirements as "verneed-index file version" lines.
version_needs() {
    readelf -VW "$1" | awk '
        /^Version needs section/ { on = 1; next }
        /^Version (symbols|definition) section/ { on = 0 }
        on && /File:/ { for (i = 1; i <= NF; i++) if ($i == "File:") file = $(i + 1) }
        on && /Name:/ {
            for (i = 1; i <= NF; i++) { if ($i == "Name:") v = $(i + 1); if ($i == "Version:") n = $(i + 1) }
            print n, file, v
        }'
}

# ---- what the library is ----

id=$(elf_id "$so")
header=$(readelf -hW "$so")
field() { awk -F: -v k="$1" '$1 ~ "^ *" k "$" { sub(/^ +/, "", $2); print $2 }' <<<"$header"; }
flags=$(field Flags | sed 's/^0x[0-9a-fA-F]*,* *//')
echo "$so"
echo "  architecture  $(field Class), $(field Data | sed 's/.*, //'), $(field Machine)${flags:+ ($flags)}"

attributes=$(readelf -A "$so" 2>/dev/null || true)
float_abi=$(awk -F': ' '/^FP ABI:/ { print $2; exit }' <<<"$attributes")
if [ -z "$float_abi" ]; then
    if grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attributes"; then
        float_abi="hard float (arguments in VFP registers)"
    elif grep -q 'Tag_ARM_ISA_use' <<<"$attributes"; then
        float_abi="soft float (arguments in integer registers)"
    else
        float_abi="not recorded in the file (one float ABI on this architecture)"
    fi
fi
echo "  float ABI     $float_abi"

symbols=$(dyn_symbols "$so")
needs=$(version_needs "$so")
undefined=$(awk '$2 == "UND" && $1 != "LOCAL"' <<<"$symbols")
strong=$(awk '$1 == "GLOBAL"' <<<"$undefined")
weak=$(awk '$1 == "WEAK"' <<<"$undefined")

demangled_all=$(awk '{ print $3 }' <<<"$symbols" | demangle)
new_abi=$(grep -c 'std::__cxx11::' <<<"$demangled_all" || true)
old_abi=$(grep -v 'std::__cxx11::' <<<"$demangled_all" | grep -cE 'std::string|std::basic_string<' || true)
if [ "$new_abi" -gt 0 ] && [ "$old_abi" -gt 0 ]; then
    string_abi="MIXED: $new_abi symbols with std::__cxx11::basic_string, $old_abi with the old std::string"
elif [ "$new_abi" -gt 0 ]; then
    string_abi="C++11 (_GLIBCXX_USE_CXX11_ABI=1): std::__cxx11::basic_string, $new_abi symbols"
elif [ "$old_abi" -gt 0 ]; then
    string_abi="pre-C++11 (_GLIBCXX_USE_CXX11_ABI=0): the old std::string, $old_abi symbols"
else
    string_abi="none in the dynamic symbols"
fi
echo "  string ABI    $string_abi"

exports=$(awk '$2 != "UND" && ($1 == "GLOBAL" || $1 == "WEAK") { print $3 }' <<<"$symbols" | sort -u)
note=""
[ "$exports" = "get_providers" ] || note="   (a plug-in exports get_providers alone)"
echo "  exports       $(tr '\n' ' ' <<<"$exports" | sed 's/ $//')$note"

needed=$(readelf -dW "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "  needed        $(tr '\n' ' ' <<<"$needed" | sed 's/ $//')"

# Versioned imports: "family version file name" lines.
versioned=$(awk 'NR == FNR { file[$1] = $2; next } $4 != "" { v = $4; f = v; sub(/_[0-9.]*$/, "", f); print f, substr(v, length(f) + 2), file[$5], $3 }' \
    <(echo "$needs") <(echo "$strong"; echo "$weak"))
for family in GLIBC GLIBCXX CXXABI GCC; do
    top=$(awk -v f="$family" '$1 == f { print $2 }' <<<"$versioned" | sort -uV | tail -n 1)
    [ -n "$top" ] || continue
    names=$(awk -v f="$family" -v t="$top" '$1 == f && $2 == t { print $4 }' <<<"$versioned" | demangle | sort)
    printf '  %-13s %s, needed by %d symbol(s):\n' "$family" "$top" "$(wc -l <<<"$names")"
    sed 's/^/                  /' <<<"$names"
done
other=$(awk '$1 !~ /^(GLIBC|GLIBCXX|CXXABI|GCC)$/ { print $1 "_" $2, $4 }' <<<"$versioned")
[ -z "$other" ] || { echo "  other versions"; sed 's/^/                  /' <<<"$other"; }

unversioned=$(awk '$4 == "" { print $3 }' <<<"$strong")
json=$(while read -r name; do
    [ -n "$name" ] || continue
    d=$(demangle <<<"$name")
    if [[ $d =~ ^((typeinfo|typeinfo\ name|vtable)\ for\ )?Json:: ]]; then echo "$name"; fi
done <<<"$unversioned")
host_syms=$(comm -23 <(sort -u <<<"$unversioned") <(sort -u <<<"$json") | sed '/^$/d')
count() { sed '/^$/d' <<<"$1" | wc -l; }
echo "  jsoncpp       $(count "$json") symbol(s), from the jsoncpp the host process has loaded$(
    grep -q '^libjsoncpp' <<<"$needed" && echo ' (and named NEEDED)')"
echo "  host          $(count "$host_syms") symbol(s), from the host program:"
demangle <<<"$host_syms" | sort | sed 's/^/                  /'
optional=$(awk '{ print $3 }' <<<"$weak" | sed '/^$/d' | sort)
if [ -n "$optional" ]; then
    echo "  weak          bound where the process defines them, else null; none is needed to load:"
    sed 's/^/                  /' <<<"$optional"
fi

[ -n "$sysroot" ] || [ -n "$host" ] || exit 0

# ---- against a controller's libraries ----

problems=()
root=${sysroot%/}

# A path inside the sysroot, with absolute links taken as the target's.
in_root() {
    local p=$1 hops=0
    while [ -L "$p" ] && [ $hops -lt 16 ]; do
        local t
        t=$(readlink "$p")
        case "$t" in
            /*) p="$root$t" ;;
            *) p="$(dirname "$p")/$t" ;;
        esac
        hops=$((hops + 1))
    done
    echo "$p"
}

# The sysroot's library called $1 (a file name or a glob) for this target.
find_library() {
    local dir f
    for dir in "$root"/lib/*/ "$root"/usr/lib/*/ "$root"/lib/ "$root"/usr/lib/ "$root"/usr/*/lib/ \
        "$root"/lib32/ "$root"/usr/lib32/; do
        for f in "$dir"$1; do
            [ -e "$f" ] || continue
            f=$(in_root "$f")
            [ -f "$f" ] && [ "$(elf_id "$f")" = "$id" ] && { echo "${f//\/\//\/}"; return 0; }
        done
    done
    return 1
}

# Defined dynamic symbols of a library as "name version" lines.
definitions() { dyn_symbols "$1" | awk '$2 != "UND" && $1 != "LOCAL" { print $3, $4 }' | sort -u; }

# Unversioned symbols that a NEEDED library of the sysroot defines are that
# library's (a C library without symbol versions, a sanitizer's runtime).
from_libraries=""

if [ -n "$sysroot" ]; then
    echo "against the sysroot $sysroot"
    while read -r lib; do
        [ -n "$lib" ] || continue
        if ! path=$(find_library "$lib"); then
            printf '  %-15s not found for this target\n' "$lib"
            problems+=("$lib is not in the sysroot")
            continue
        fi
        defs=$(definitions "$path")
        from_libraries+=$(awk '{ print $1 }' <<<"$defs")$'\n'
        have=$(awk '{ print $2 }' <<<"$defs" | sed '/^$/d' | sort -u)
        wanted=$(awk -v l="$lib" '$3 == l' <<<"$versioned")
        missing=0
        while read -r family version file name; do
            [ -n "$name" ] || continue
            v="${family}_$version"
            if ! grep -qxF "$v" <<<"$have"; then
                problems+=("$lib has no $v, needed by $(demangle <<<"$name")")
                missing=$((missing + 1))
            elif ! grep -qxF "$name $v" <<<"$defs"; then
                problems+=("$lib does not define $(demangle <<<"$name") at $v")
                missing=$((missing + 1))
            fi
        done <<<"$wanted"
        # The newest version the library has of each family asked of it.
        families=$(awk 'NR == FNR { want[$1] = 1; next }
                        { f = $0; sub(/_[0-9.]*$/, "", f) } f in want { print }' \
                <(echo "$wanted") <(grep -E '^[A-Z]+_[0-9.]+$' <<<"$have") | sort -V |
            awk -F_ '{ top[$1] = $2 } END { for (f in top) printf "%s up to %s, ", f, top[f] }' | sed 's/, $//')
        verdict="ok"
        [ $missing -eq 0 ] || verdict="$missing requirement(s) not met"
        printf '  %-15s %s%s: %s\n' "$lib" "$path" "${families:+ ($families)}" "$verdict"
    done <<<"$needed"

    if [ -n "$json" ]; then
        if ! path=$(find_library 'libjsoncpp.so*'); then
            printf '  %-15s not found for this target\n' jsoncpp
            problems+=("no libjsoncpp in the sysroot for the $(count "$json") Json symbols")
        else
            defs=$(definitions "$path" | awk '{ print $1 }')
            absent=$(comm -23 <(sort -u <<<"$json") <(sort -u <<<"$defs") | sed '/^$/d')
            soname=$(readelf -dW "$path" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
            path="$path${soname:+ ($soname)}"
            if [ -z "$absent" ]; then
                printf '  %-15s %s: defines all %d Json symbols\n' jsoncpp "$path" "$(count "$json")"
            else
                printf '  %-15s %s: lacks %d of the %d Json symbols\n' jsoncpp "$path" "$(count "$absent")" "$(count "$json")"
                while read -r name; do problems+=("$path does not define $(demangle <<<"$name")"); done <<<"$absent"
            fi
        fi
    fi
fi

if [ -n "$from_libraries" ]; then
    taken=$(comm -12 <(sort -u <<<"$host_syms") <(sed '/^$/d' <<<"$from_libraries" | sort -u))
    if [ -n "$taken" ]; then
        echo "  $(count "$taken") of the symbols listed as the host's are defined by the NEEDED libraries"
        host_syms=$(comm -23 <(sort -u <<<"$host_syms") <(sort -u <<<"$taken") | sed '/^$/d')
    fi
fi

if [ -n "$host" ]; then
    defs=$(definitions "$host" | awk '{ print $1 }')
    absent=$(comm -23 <(sort -u <<<"$host_syms") <(sort -u <<<"$defs") | sed '/^$/d')
    if [ -z "$absent" ]; then
        echo "against the host $host: defines all $(count "$host_syms") host symbols"
    else
        echo "against the host $host: lacks $(count "$absent") of the $(count "$host_syms") host symbols"
        while read -r name; do problems+=("$host does not define $(demangle <<<"$name")"); done <<<"$absent"
    fi
fi

if [ ${#problems[@]} -eq 0 ]; then
    echo "result: loads"
    [ -n "$host" ] || echo "  (the $(count "$host_syms") host symbols were not checked: --host names the host program)"
    exit 0
fi
echo "result: would NOT load"
printf '  %s\n' "${problems[@]}"
exit 1
