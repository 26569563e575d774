#!/usr/bin/env bash
# Times zodevir against cat on a page-cached file and prints median ratios.
#
#   bench/compare_with_cat.sh [ZODEVIR_BINARY] [SIZE_MIB] [ROUNDS]
#
# Runs alternate (cat, encode, decode, ...) so that drifts in machine load hit
# every contender alike. "new" writes a destination that does not exist yet;
# "replace" writes over an existing one (zodevir's temporary file and rename
# against cat into a temporary file followed by mv). Also prints the peak
# resident memory of one encode.
set -euo pipefail

zodevir=$(realpath "${1:-build/release/zodevir}")
size_mib=${2:-256}
rounds=${3:-11}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/zodevir-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c "$((size_mib * 1024 * 1024))" /dev/urandom > src
cat src > /dev/null

now() { date +%s%N; }
# Prints the wall time of "$@" in nanoseconds. Dirty pages of earlier runs
# are flushed first, so that no run pays for another's writeback.
timed() { local t0 t1; sync; t0=$(now); "$@" > /dev/null; t1=$(now); echo $((t1 - t0)); }

cat_new() { rm -f dst; timed sh -c 'cat src > dst'; }
cat_replace() { timed sh -c 'cat src > tmp && mv tmp dst'; }
zodevir_new() { rm -f dst; timed "$zodevir" src dst bench "$1"; }
zodevir_replace() { timed "$zodevir" src dst bench "$1"; }

declare -a cn en dn cr er
for ((i = 0; i < rounds; i++)); do
    cn+=("$(cat_new)"); en+=("$(zodevir_new encode)"); dn+=("$(zodevir_new decode)")
done
cat src > dst
for ((i = 0; i < rounds; i++)); do
    cr+=("$(cat_replace)"); er+=("$(zodevir_replace encode)")
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
ms() { awk -v n="$1" 'BEGIN {printf "%.1f ms", n / 1e6}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

m_cn=$(median "${cn[@]}"); m_en=$(median "${en[@]}"); m_dn=$(median "${dn[@]}")
m_cr=$(median "${cr[@]}"); m_er=$(median "${er[@]}")
echo "file: ${size_mib} MiB, page-cached; ${rounds} alternating rounds; medians"
echo "new destination:      cat $(ms "$m_cn")  encode $(ms "$m_en") ($(ratio "$m_en" "$m_cn") x cat)  decode $(ms "$m_dn") ($(ratio "$m_dn" "$m_cn") x cat)"
echo "replace destination:  cat+mv $(ms "$m_cr")  encode $(ms "$m_er") ($(ratio "$m_er" "$m_cr") x cat+mv)"
if [ -x /usr/bin/time ]; then
    rm -f dst
    kib=$(/usr/bin/time -f %M "$zodevir" src dst bench encode 2>&1 > /dev/null)
    echo "peak resident memory of one encode: ${kib} KiB"
fi
