#!/bin/bash
# compare_md5sum.sh QORTOOL [MiB]: times `qortool verify` and `md5sum` on the
# same genuine information file (256 MiB by default), each several times in
# one run, and prints their medians and ratio.
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
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timed() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
cat qor.nfo >/dev/null  # into the page cache for both
verify=$(for i in $(seq $runs); do timed "$qortool" verify -q qor.nfo; done | median)
md5=$(for i in $(seq $runs); do timed md5sum qor.nfo; done | median)
printf 'file: %d MiB, median of %d runs\n' "$mib" "$runs"
printf 'qortool verify: %.3f s (%.0f MB/s)\n' "$verify" "$(echo "$mib * 1.048576 / $verify" | bc -l)"
printf 'md5sum:         %.3f s (%.0f MB/s)\n' "$md5" "$(echo "$mib * 1.048576 / $md5" | bc -l)"
printf 'ratio:          %.2f\n' "$(echo "$verify / $md5" | bc -l)"
