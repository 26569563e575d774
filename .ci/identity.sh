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
            # error"), and does at the next try: that says nothing of the tool.
            for attempt in 1 2 3; do
                if "${runner[@]}" "$other" "$file" other.out "$password" "$mode" < /dev/null \
                    > /dev/null 2> "$work/errors"; then
                    break
                fi
                if ! grep -q '^wine' "$work/errors" || [ "$attempt" -eq 3 ]; then
                    cat "$work/errors"
                    exit 1
                fi
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
