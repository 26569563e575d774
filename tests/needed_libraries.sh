#!/bin/sh
# Checks which shared libraries a built program needs, as its own headers
# list them (sorted, lower case, one space apart), against what is expected.
#
#   needed_libraries.sh elf READELF PROGRAM 'libc.so.6'
#   needed_libraries.sh pe OBJDUMP PROGRAM 'advapi32.dll kernel32.dll msvcrt.dll'
#   needed_libraries.sh static READELF PROGRAM     (no dynamic section at all)
set -eu
kind=$1 tool=$2 program=$3
case "$kind" in
static)
    "$tool" -d "$program" | grep -q 'There is no dynamic section' && exit 0
    echo "$program has a dynamic section"
    exit 1
    ;;
elf) needed=$("$tool" -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') ;;
pe) needed=$("$tool" -p "$program" | sed -n 's/.*DLL Name: //p') ;;
*) echo "unknown kind: $kind"; exit 2 ;;
esac
needed=$(printf '%s\n' "$needed" | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$needed" = "$4" ] && exit 0
echo "$program needs: $needed (expected: $4)"
exit 1
