#!/bin/bash
# archive_bench.sh QORTOOL [RELEASES]: builds an archive of issued releases
# (10,000 by default, 6 to 50 KB each, two folders deep), then times, in
# one run, interleaved, `qortool verify -q -r` with one worker and with the
# default, a full run recording a state database, an incremental run over
# the unchanged archive, the walk alone (find), `md5sum -c` and, where it is
# installed, hashdeep's audit mode over the same information files: warm,
# and cold too when it may drop the page cache (as root). Prints the
# processor, the medians, the ratios and the database's size. With
# BASELINE=ANOTHER_QORTOOL, that build's two plain runs are timed beside
# them, in the same rounds. The default run is also timed with each of
# the read-aheads in READ_AHEADS (default "8 32 128"), which is how the
# default of --read-ahead was chosen.
set -euo pipefail
qortool=$(realpath "$1")
count=${2:-10000}
runs=5
read_aheads=(${READ_AHEADS-8 32 128})
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
# As root, a cold run drops the page cache before each command (the host
# may still cache the disk: cold figures here are a floor).
cold=no
[ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ] && cold=yes
timed() {
    local s e
    [ "$mode" = cold ] && sync && echo 3 >/proc/sys/vm/drop_caches
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    e=$(date +%s.%N)
    echo "$e - $s" | bc -l
}
"$qortool" verify -q -r --state kept.db archive # what the incremental runs find
xargs -0 md5sum <files >MD5SUMS
have_hashdeep=no
command -v hashdeep >/dev/null && hashdeep -r archive >HASHES 2>/dev/null && have_hashdeep=yes
model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
family=$(sed -n 's/^cpu family[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
printf '%s, cpu family %s, %d processors; median of %d runs, interleaved\n' "$model" "$family" "$(nproc)" $runs
modes=(warm)
[ $cold = yes ] && modes+=(cold)
for mode in "${modes[@]}"; do
    one=() default=() state=() incremental=() walk=() md5=() deep=() base_one=() base_default=()
    declare -A ahead=()
    for ((r = 0; r < runs; r++)); do # interleaved, so that load hits them all alike
        one+=("$(timed "$qortool" verify -q -r -j 1 archive)")
        default+=("$(timed "$qortool" verify -q -r archive)")
        rm -f full.db
        state+=("$(timed "$qortool" verify -q -r --state full.db archive)")
        incremental+=("$(timed "$qortool" verify -q -r --state kept.db --incremental archive)")
        walk+=("$(timed find archive -name qor.nfo)")
        md5+=("$(timed md5sum -c --quiet MD5SUMS)")
        [ $have_hashdeep = yes ] && deep+=("$(timed hashdeep -r -a -k HASHES archive)")
        for n in "${read_aheads[@]}"; do
            ahead[$n]+=" $(timed "$qortool" verify -q -r --read-ahead "$n" archive)"
        done
        if [ -n "${BASELINE:-}" ]; then
            base_one+=("$(timed "$BASELINE" verify -q -r -j 1 archive)")
            base_default+=("$(timed "$BASELINE" verify -q -r archive)")
        fi
    done
    med() { printf '%s\n' "$@" | median; }
    one=$(med "${one[@]}") default=$(med "${default[@]}") state=$(med "${state[@]}")
    incremental=$(med "${incremental[@]}") walk=$(med "${walk[@]}") md5=$(med "${md5[@]}")
    ratio() { echo "$1 / $md5" | bc -l; }
    echo "$mode:"
    printf '  qortool verify -q -r -j 1:  %.3f s  (%.2f x md5sum -c)\n' "$one" "$(ratio "$one")"
    printf '  qortool verify -q -r:       %.3f s  (%.2f x md5sum -c)\n' "$default" "$(ratio "$default")"
    printf '  with --state:               %.3f s  (%.2f x without)\n' "$state" "$(echo "$state / $default" | bc -l)"
    # An incremental run still lists every folder and describes every
    # file: the walk alone is its floor.
    printf '  --state --incremental, nothing changed: %.3f s  (%.2f x the walk alone)\n' \
        "$incremental" "$(echo "$incremental / $walk" | bc -l)"
    printf '  find (the walk alone):      %.3f s\n' "$walk"
    printf '  md5sum -c --quiet:          %.3f s\n' "$md5"
    if [ $have_hashdeep = yes ]; then
        deep=$(med "${deep[@]}")
        printf '  hashdeep -r -a -k:          %.3f s  (%.2f x md5sum -c)\n' "$deep" "$(ratio "$deep")"
    fi
    for n in "${read_aheads[@]}"; do
        # shellcheck disable=SC2086 # the times, one word each
        t=$(med ${ahead[$n]})
        printf '  --read-ahead %-2s            %.3f s  (%.2f x md5sum -c)\n' "$n" "$t" "$(ratio "$t")"
    done
    if [ -n "${BASELINE:-}" ]; then
        base_one=$(med "${base_one[@]}") base_default=$(med "${base_default[@]}")
        printf '  baseline -j 1:              %.3f s  (%.2f x md5sum -c)\n' "$base_one" "$(ratio "$base_one")"
        printf '  baseline default:           %.3f s  (%.2f x md5sum -c)\n' "$base_default" "$(ratio "$base_default")"
    fi
done
printf 'state database after %d runs: %d KiB, %d bytes a release and run\n' $((runs + 1)) \
    $(($(stat -c %s kept.db) / 1024)) $(($(stat -c %s kept.db) / count / (runs + 1)))
