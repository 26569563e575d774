#!/bin/sh
# The man page renders without a single warning, and its examples survive
# rendering in the C locale byte for byte: a dropped accent or backslash
# there would key a file with another password.
#   tests/man_page.sh GROFF MAN_PAGE
set -eu
groff=$1
page=$2
warnings=$("$groff" -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { printf '%s\n' "$warnings"; exit 1; }
rendered=$(LC_ALL=C "$groff" -man -Tascii -P-c "$page" 2> /dev/null)
for line in \
    "zodevir f.enc f \"\$(printf 'caf\\303\\251' | iconv -f UTF-8 -t CP1252)\" decode"; do
    printf '%s\n' "$rendered" | grep -qF -- "$line" || { printf 'not rendered as written: %s\n' "$line"; exit 1; }
done
