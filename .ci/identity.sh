#!/usr/bin/env bash
# Another build of zodevir (the static one, zodevir.exe under wine, an ARM
# one under qemu) must write byte-identical files to the reference build's
# for the same sources and ASCII passwords, both ways.
#
#   .ci/identity.sh REFERENCE_BINARY OTHER_BINARY [RUNNER ...]
#
# RUNNER, when given, runs the other binary (wine, qemu-arm -L /usr/...).
set -euo pipefail
reference=$(realpath "$1")
other=$(realpath "$2")
shift 2
runner=("$@")
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
            "$reference" "$file" reference.out "$password" "$mode" > /dev/null
            # wine now and then fails to start a process at all ("wine client
            # error", or nothing), and does at the next try: that says nothing
            # of the tool. A run of the tool that failed says so on its console.
            for attempt in 1 2 3; do
                "${runner[@]}" "$other" "$file" other.out "$password" "$mode" < /dev/null \
                    > "$work/said" 2> "$work/errors" && break
                code=$?
                if grep -q 'Error:' "$work/said" || [ "$attempt" -eq 3 ]; then
                    echo "$file, password of ${#password} bytes, $mode: exit status $code"
                    cat "$work/said" "$work/errors"
                    exit 1
                fi
                echo "retrying: $file, $mode: exit status $code, $(head -c 200 "$work/errors")"
            done
            if cmp -s reference.out other.out; then
                echo "same: $file, password of ${#password} bytes, $mode"
            else
                echo "DIFFERENT: $file, password of ${#password} bytes, $mode"
                status=1
            fi
        done
    done
done
exit "$status"
