#!/bin/bash
# compare_md5sum.sh QORTOOL [MiB]: times `qortool verify` with each variant
# of the scan (forced through QOR_MIX_VARIANT) and `md5sum` on the same
# genuine information file (256 MiB by default), interleaved in one run, and
# prints the medians and their ratios to md5sum, with the processor's model
# name and cpu family (25: Zen 4, 26: Zen 5).
set -euo pipefail
qortool=$(realpath "$1")
mib=${2:-256}
runs=7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
line=$'The quick brown fox jumps over the lazy dog; QOR releases are genuine.\r'
head -c $((mib * 1024 * 1024)) < <(yes "$line") >body
"$qortool" issue body -o qor.nfo 2>/dev/null
rm body
variants=()
for v in portable avx2 avx512; do
    QOR_MIX_VARIANT=$v "$qortool" verify -q qor.nfo 2>/dev/null && variants+=("$v")
done
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timed() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
declare -A times
for ((r = 0; r < runs; r++)); do # interleaved, so that load hits every one alike
    times[md5sum]+="$(timed md5sum qor.nfo) "
    times[default]+="$(timed "$qortool" verify -q qor.nfo) "
    for v in "${variants[@]}"; do
        times[$v]+="$(QOR_MIX_VARIANT=$v timed "$qortool" verify -q qor.nfo) "
    done
done
md5=$(tr ' ' '\n' <<<"${times[md5sum]}" | grep . | median)
# The processor decides which variant is fastest: name it with the figures.
family=$(sed -n 's/^cpu family[[:space:]]*: //p' /proc/cpuinfo | head -1)
model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
printf 'processor: %s (cpu family %s)\n' "${model:-unknown}" "${family:-unknown}"
printf 'file: %d MiB, median of %d runs\n' "$mib" "$runs"
printf '%-26s %.3f s  %4.0f MB/s\n' md5sum "$md5" "$(echo "$mib * 1.048576 / $md5" | bc -l)"
for v in default "${variants[@]}"; do
    t=$(tr ' ' '\n' <<<"${times[$v]}" | grep . | median)
    printf '%-26s %.3f s  %4.0f MB/s  %.2f x md5sum\n' "qortool verify ($v)" "$t" \
        "$(echo "$mib * 1.048576 / $t" | bc -l)" "$(echo "$t / $md5" | bc -l)"
done
