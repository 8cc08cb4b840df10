#!/bin/bash
# archive_bench.sh QORTOOL [RELEASES]: builds an archive of issued releases
# (10,000 by default, 6 to 50 KB each, two folders deep), then times, in
# one run, `qortool verify -q -r` with one worker and with the default, a
# full run recording a state database, an incremental run over the
# unchanged archive, and md5sum over the same information files; prints
# the medians and ratios, and the database's size.
set -euo pipefail
qortool=$(realpath "$1")
count=${2:-10000}
runs=5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c $((64 << 10)) < <(yes 'The quick brown fox jumps over the lazy dog; QOR releases.') >text
# 200 issued information files of different sizes, written out by the shell
# itself (no process per release) into the folders of the archive.
issued=()
for ((k = 0; k < 200; k++)); do
    head -c $((6000 + (k * 7919) % 44000)) text >body
    "$qortool" issue body -o issued.nfo --force 2>/dev/null
    IFS= read -r -d '' 'issued[k]' <issued.nfo || true
done
for ((i = 0; i < count; i++)); do echo "archive/$((i % 100))/release-$i"; done | xargs mkdir -p
for ((i = 0; i < count; i++)); do
    printf '%s' "${issued[i % 200]}" >"archive/$((i % 100))/release-$i/qor.nfo"
done
find archive -name qor.nfo -print0 | sort -z >files
echo "archive: $count releases, $(du -sm archive | cut -f1) MiB"
cat files | xargs -0 cat >/dev/null # into the page cache

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timed() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
"$qortool" verify -q -r --state kept.db archive # what the incremental runs find
one=() default=() state=() incremental=() walk=() md5=()
for ((r = 0; r < runs; r++)); do # interleaved, so that load hits them all alike
    one+=("$(timed "$qortool" verify -q -r -j 1 archive)")
    default+=("$(timed "$qortool" verify -q -r archive)")
    rm -f full.db
    state+=("$(timed "$qortool" verify -q -r --state full.db archive)")
    incremental+=("$(timed "$qortool" verify -q -r --state kept.db --incremental archive)")
    walk+=("$(timed find archive -name qor.nfo)")
    md5+=("$(timed xargs -0 md5sum <files)")
done
one=$(printf '%s\n' "${one[@]}" | median)
default=$(printf '%s\n' "${default[@]}" | median)
state=$(printf '%s\n' "${state[@]}" | median)
incremental=$(printf '%s\n' "${incremental[@]}" | median)
walk=$(printf '%s\n' "${walk[@]}" | median)
md5=$(printf '%s\n' "${md5[@]}" | median)
printf 'median of %d runs, %d processors\n' $runs "$(nproc)"
printf 'qortool verify -q -r -j 1: %.3f s  (%.2f x md5sum)\n' "$one" "$(echo "$one / $md5" | bc -l)"
printf 'qortool verify -q -r:      %.3f s  (%.2f x md5sum)\n' "$default" "$(echo "$default / $md5" | bc -l)"
printf 'with --state:              %.3f s  (%.2f x without)\n' "$state" "$(echo "$state / $default" | bc -l)"
printf 'with --state --incremental, nothing changed: %.3f s  (%.1f %% of the full run)\n' \
    "$incremental" "$(echo "100 * $incremental / $default" | bc -l)"
# An incremental run still lists every folder and describes every file:
# the walk alone is its floor.
printf 'find (the walk alone):     %.3f s  (%.1f %% of the full run)\n' "$walk" \
    "$(echo "100 * $walk / $default" | bc -l)"
printf 'md5sum (xargs):            %.3f s\n' "$md5"
printf 'state database after %d runs: %d KiB, %d bytes a release and run\n' $((runs + 1)) \
    $(($(stat -c %s kept.db) / 1024)) $(($(stat -c %s kept.db) / count / (runs + 1)))
