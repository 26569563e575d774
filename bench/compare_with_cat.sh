#!/usr/bin/env bash
# Times zodevir against the ways a shell user copies a file, and prints the
# median and interquartile range of the per-round ratios.
#
#   bench/compare_with_cat.sh [ZODEVIR_BINARY] [SIZE_MIB] [ROUNDS]
#
# Defaults: build/release/zodevir, 256 MiB, 21 rounds. ZODEVIR_ALT may name a
# second build (a design being tried) to time beside the first in the same
# rounds; DURABLE_ONLY=1 times only the durable groups. Every contender is
# started the same way, as `sh -c COMMAND`, and within a group the order of
# the contenders rotates every round (see round), so that drifts in the
# machine's load hit each of them alike. Dirty pages are flushed (outside the
# timing) before every timed command, so that no command pays for another's
# writeback.
#
# zodevir flushes its output to the disk before it says it is done, so the
# figures that count compare it with commands that do the same:
#   durable-new      a new destination: dd bs=1M conv=fsync
#   durable-replace  an existing destination: cat src > tmp && sync tmp && mv tmp dst
#   start-up         300 runs on 4 KiB files, each to a new destination, against
#                    the loop cat src > dst && sync dst (and, as information,
#                    the plain cat loop)
#   memory           peak resident memory of one encode of 1 MiB and of SIZE_MIB
# As information, the commands that leave the data in the page cache:
#   new, replace     cat and dd, with no flush
#   +sync            the same commands followed by a sync of everything
set -euo pipefail

zodevir=$(realpath "${1:-build/release/zodevir}")
size_mib=${2:-256}
rounds=${3:-21}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/zodevir-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export Z="$zodevir"
alt=()
if [ -n "${ZODEVIR_ALT:-}" ]; then
    export ZALT
    ZALT=$(realpath "$ZODEVIR_ALT")
    alt=(alternative)
fi

head -c "$((size_mib * 1024 * 1024))" /dev/urandom > src
cat src > /dev/null
mkdir small
for i in $(seq 300); do head -c 4096 /dev/urandom > "small/f$i"; done

# Contenders: a name, then the command that sh -c runs.
declare -A cmd=(
    [zodevir]='"$Z" src dst bench encode > /dev/null'
    [alternative]='"$ZALT" src dst bench encode > /dev/null'
    [zodevir_decode]='"$Z" src dst bench decode > /dev/null'
    [cat]='cat src > dst'
    [dd]='dd if=src of=dst bs=1M status=none'
    [cat_mv]='cat src > tmp && mv tmp dst'
    [dd_fsync]='dd if=src of=dst bs=1M conv=fsync status=none'
    [cat_sync_mv]='cat src > tmp && sync tmp && mv tmp dst'
    [startup_zodevir]='for i in $(seq 300); do "$Z" small/f$i small/o$i bench encode > /dev/null; done'
    [startup_cat]='for i in $(seq 300); do cat small/f$i > small/o$i; done'
    [startup_cat_sync]='for i in $(seq 300); do cat small/f$i > small/o$i && sync small/o$i; done'
)

# Leaves the files a contender expects: no destination for "new", an
# existing one for "replace".
prepare() {
    rm -f tmp small/o*
    case $1 in
    new) rm -f dst ;;
    replace) [ -f dst ] || cat src > dst ;;
    esac
    sync
}

# Prints the wall time in microseconds of sh -c "$1".
timed() {
    local t0 t1
    t0=$EPOCHREALTIME
    sh -c "$1"
    t1=$EPOCHREALTIME
    echo $((${t1/./} - ${t0/./}))
}

declare -A times  # "group/contender" -> space-separated times, one per round

# Runs one round of a group: each contender once, the order rotated by round,
# and reversed every other cycle of rotations, so that no contender always
# follows the same one (replacing a large file leaves work to the disk that
# shows in whatever comes next).
round() {
    local group=$1 state=$2 suffix=$3 r=$4
    shift 4
    local names=("$@") n=$# k
    if (((r / n) % 2)); then
        for ((k = 0; k < n; k++)); do names[k]=${*:n-k:1}; done
    fi
    for ((k = 0; k < n; k++)); do
        local name=${names[$(((k + r) % n))]}
        prepare "$state"
        times[$group/$name]+="$(timed "${cmd[$name]}$suffix") "
    done
}

for ((r = 0; r < rounds; r++)); do
    round durable-new new "" "$r" zodevir dd_fsync "${alt[@]}"
    round durable-replace replace "" "$r" zodevir cat_sync_mv "${alt[@]}"
    round start-up new "" "$r" startup_zodevir startup_cat_sync startup_cat
    [ -n "${DURABLE_ONLY:-}" ] && continue
    round new new "" "$r" zodevir zodevir_decode cat dd
    round replace replace "" "$r" zodevir cat cat_mv
    round new+sync new "; sync" "$r" zodevir cat dd
    round replace+sync replace "; sync" "$r" zodevir cat cat_mv
    printf '.' >&2
done
echo >&2

# Median, first and third quartile of the numbers given.
quartiles() {
    printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1}
        function q(p,  i) { i = 1 + p * (NR - 1); return a[int(i)] + (i - int(i)) * (a[int(i) + 1] - a[int(i)]) }
        END { printf "%.2f (IQR %.2f-%.2f)", q(0.5), q(0.25), q(0.75) }'
}
median_ms() {
    printf '%s\n' "$@" | sort -n | awk '{a[NR] = $1} END {printf "%.1f ms", a[int((NR + 1) / 2)] / 1000}'
}
# Per-round ratios of group/a to group/b.
ratios() {
    local -a a b
    read -ra a <<< "${times[$1/$2]}"
    read -ra b <<< "${times[$1/$3]}"
    local i
    for ((i = 0; i < ${#a[@]}; i++)); do awk -v x="${a[i]}" -v y="${b[i]}" 'BEGIN {print x / y}'; done
}
row() {
    local group=$1 a=$2 b=$3
    [ -n "${times[$group/$a]:-}" ] || return 0
    # shellcheck disable=SC2046
    printf '%-14s %-16s / %-16s %s\n' "$group" "$a" "$b" "$(quartiles $(ratios "$group" "$a" "$b"))"
}

echo "zodevir benchmark: ${size_mib} MiB random file, ${rounds} rounds, $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%d)"
echo "note: cat copies a regular file inside the kernel (copy_file_range); zodevir must read"
echo "      the bytes into user space and write them back, so dd bs=1M is its floor."
echo
echo "median times:"
for key in $(printf '%s\n' "${!times[@]}" | sort); do
    # shellcheck disable=SC2086
    printf '  %-30s %s\n' "$key" "$(median_ms ${times[$key]})"
done
echo
echo "ratios, median of per-round ratios (interquartile range):"
echo "  durable, as zodevir is:"
row durable-replace zodevir cat_sync_mv
row durable-new zodevir dd_fsync
row start-up startup_zodevir startup_cat_sync
echo "  information: the others leave the data in the page cache, or sync everything:"
row start-up startup_zodevir startup_cat
row new zodevir cat
row new zodevir dd
row new zodevir_decode dd
row replace zodevir cat
row replace zodevir cat_mv
row new+sync zodevir cat
row new+sync zodevir dd
row replace+sync zodevir cat
row replace+sync zodevir cat_mv
if [ "${#alt[@]}" -gt 0 ]; then
    row durable-new alternative zodevir
    row durable-replace alternative zodevir
fi

echo
for mib in 1 "$size_mib"; do
    head -c "$((mib * 1024 * 1024))" src > mem_src
    rm -f mem_dst
    kib=$(/usr/bin/time -f %M "$zodevir" mem_src mem_dst bench encode 2>&1 > /dev/null)
    echo "peak resident memory, ${mib} MiB file: ${kib} KiB"
done
