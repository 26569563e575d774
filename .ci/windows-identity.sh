#!/usr/bin/env bash
# zodevir.exe under wine and the Linux zodevir must write byte-identical
# files for the same sources and ASCII passwords, both ways.
#
#   .ci/windows-identity.sh LINUX_BINARY WINDOWS_EXE
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c $((3 * 1024 * 1024 + 77)) /dev/urandom > big
printf 'plain text\n' > small
: > empty
status=0
for file in big small empty; do
    for password in x ab tarns 'a longer password with spaces'; do
        for mode in encode decode; do
            "$linux" "$file" linux.out "$password" "$mode" > /dev/null
            wine "$windows" "$file" windows.out "$password" "$mode" < /dev/null > /dev/null
            if cmp -s linux.out windows.out; then
                echo "same: $file, password of ${#password} bytes, $mode"
            else
                echo "DIFFERENT: $file, password of ${#password} bytes, $mode"
                status=1
            fi
        done
    done
done
exit "$status"
