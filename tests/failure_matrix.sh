#!/bin/bash
# qortool on broken, truncated, extended and hostile inputs: information
# files, key files, executables to stamp, and a system that lets no thread
# start. Each case ends in a verdict or a clear message, within a time limit,
# and only a genuine file is called genuine.
# usage: failure_matrix.sh [--quick] SAMPLE_BODY [EMULATOR...] QORTOOL
# (--quick: no 5 GiB case)
set -u
source "$(dirname "$0")/lib.sh"
# ctest passes --quick, or an empty argument in its place.
quick=no
case $1 in --quick) quick=yes && shift ;; "") shift ;; esac
sample=$(realpath "$1")
shift
tool_and_work "$@"
emulated=no; [ ${#tool[@]} -gt 1 ] && emulated=yes
genuine_verdict='This is a certified genuine QOR release.'

# check NAME WANT [SECONDS]: verifies case/NAME within a time limit; WANT is
# "genuine" or the status line that must end in "failed.".
check() {
    local name=$1 want=$2 limit=${3:-60}
    timeout "$limit" "${tool[@]}" verify "case/$name" >out 2>err
    local status=$?
    if [ $status -ge 124 ]; then
        fail "$name: no verdict (exit $status, a crash or a hang)"
    elif [ "$want" = genuine ]; then
        [ $status = 0 ] && grep -qx "$genuine_verdict" out || fail "$name: not found genuine: $(cat out err)"
    else
        [ $status = 1 ] || fail "$name: exit $status, expected 1"
        grep -q "$genuine_verdict" out && fail "$name: called genuine"
        grep -q "^$want failed.$" out || fail "$name: expected '$want failed.', got: $(cat out err)"
    fi
}
# make NAME: a release folder case/NAME; the file's bytes come from stdin.
make_case() { mkdir -p "case/$1" && cat >"case/$1/qor.nfo"; }

presence='Checking for presence of QOR.NFO...'
length='Checking length of QOR.NFO...'
marker='Searching for QOR marker...'
code='Retrieving QOR authentication information...'
verification='Verifying QOR authentication information...'

"${tool[@]}" issue "$sample" -o good.nfo
size=$(stat -c %s good.nfo)
make_case genuine <good.nfo && check genuine genuine

make_case empty </dev/null && check empty "$length"
printf 'Q' | make_case one-byte && check one-byte "$length"
head -c 5999 good.nfo | make_case 5999-bytes && check 5999-bytes "$length"
head -c 6000 good.nfo | make_case 6000-bytes && check 6000-bytes "$marker"
head -c $((size - 1)) good.nfo | make_case truncated && check truncated "$marker"
{ cat good.nfo; printf '\n'; } | make_case appended && check appended "$marker"

# Each of the 16 code symbols changed to another symbol.
for i in $(seq 0 15); do
    at=$((size - 18 + i))
    old=$(dd if=good.nfo bs=1 skip=$at count=1 2>/dev/null)
    new=2; [ "$old" = 2 ] && new=3
    { head -c $at good.nfo; printf '%s' "$new"; tail -c +$((at + 2)) good.nfo; } | make_case symbol-$i
    check symbol-$i "$verification"
done
# A symbol changed to something that is no symbol.
{ head -c $((size - 10)) good.nfo; printf 'I'; tail -c 9 good.nfo; } | make_case not-a-symbol
check not-a-symbol "$code"

# One bit flipped in the content; CR LF turned to LF in the content only.
{ head -c 1000 good.nfo; dd if=good.nfo bs=1 skip=1000 count=1 2>/dev/null | tr 'a-zA-Z' 'b-zaB-ZA'; tail -c +1002 good.nfo; } | make_case flipped
cmp -s good.nfo case/flipped/qor.nfo && fail "flipped: the byte at 1000 did not change"
check flipped "$verification"
{ head -c $((size - 61)) good.nfo | tr -d '\r'; tail -c 61 good.nfo; } | make_case lf-only
check lf-only "$verification"

# Zero bytes: inserted into a genuine file they break it; issued with them,
# they verify.
{ head -c 3000 good.nfo; head -c 10 /dev/zero; tail -c +3001 good.nfo; } | make_case zeros-inserted
check zeros-inserted "$verification"
{ head -c 3000 /dev/zero; cat "$sample"; } >zeros.body
"${tool[@]}" issue zeros.body -o zeros.nfo && make_case zeros-issued <zeros.nfo && check zeros-issued genuine

# Things named qor.nfo that are not regular files.
mkdir -p case/folder/qor.nfo && check folder "$presence"
mkdir -p case/pipe && mkfifo case/pipe/qor.nfo && check pipe "$presence" 10
mkdir -p case/device && ln -s /dev/zero case/device/qor.nfo && check device "$presence" 10
mkdir -p case/dangling && ln -s nowhere case/dangling/qor.nfo && check dangling "$presence"

# A file that shrinks while it is scanned ends in a verdict all the same. It
# is cut once the scan is under way (the tool has read 32 MiB of its 512),
# so the cut cannot come after the scan's end by chance, however fast the
# machine or loaded.
head -c $((512 << 20)) < <(yes 'shrinking release line') >big.body
"${tool[@]}" issue big.body -o big.nfo 2>/dev/null && rm big.body && make_case shrinking <big.nfo && rm big.nfo
"${tool[@]}" verify case/shrinking >out 2>&1 &
pid=$!
for ((tries = 0; tries < 3000; tries++)); do
    read_so_far=$(sed -n 's/^rchar: //p' /proc/$pid/io 2>/dev/null)
    [ "${read_so_far:-0}" -gt $((32 << 20)) ] && break
    sleep 0.01
done
truncate -s $((100 << 20)) case/shrinking/qor.nfo
wait $pid
status=$?
[ $status = 1 ] && grep -q 'This is NOT a certified genuine QOR release.' out ||
    fail "shrinking: exit $status: $(cat out)"

# Key files, read within bounds and refused for the true reason (root reads
# anything: the unreadable one is read as nobody).
mkfifo key.fifo && mkdir key.folder && truncate -s 1G key.large
printf 'steps 0x1\n' >key.locked && chmod 000 key.locked
nobody=(); [ "$(id -u)" = 0 ] && nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
while IFS='|' read -r key want; do
    timeout 10 "${nobody[@]}" "${tool[@]}" keyid --key "$key" >/dev/null 2>err
    status=$?
    [ $status = 2 ] && [ "$(cat err)" = "qortool: $key: $want" ] || fail "--key $key: exit $status: $(cat err)"
done <<'KEYS'
key.folder|Is a directory
/dev/zero|not a regular file or a pipe
key.large|larger than 65536 bytes: not a key file
key.locked|Permission denied
key.absent|key file not found
KEYS

# A FIFO is read once it has a writer, as a file is.
"${tool[@]}" keygen -o fresh.key 2>/dev/null
cat fresh.key >key.fifo &
timeout 10 "${tool[@]}" keyid --key key.fifo >out 2>err &&
    [ "$(cat out)" = "$("${tool[@]}" keyid --key fresh.key)" ] || fail "--key from a FIFO with a writer: $(cat err)"
wait

# --show names the true reason for what is no file. (Damaged executables
# are refused in the real executables' test.)
for special in key.fifo key.folder; do
    timeout 10 "${tool[@]}" stamp --show $special 2>err
    [ $? = 1 ] && grep -Eqx "qortool: $special: cannot open: (not a regular file|Is a directory)" err ||
        fail "stamp --show $special: $(cat err)"
done

# Workers that cannot start: a process limit lets a few threads start (two
# of eight, or none; the kernel's count of a user's tasks may lag by one),
# and the run goes on with what started. (The limit binds no user but
# root, and counts all of a user's processes: a user of this run's own, that
# no other test and no other run of this one shares.)
for i in $(seq 12); do make_case workers/r$i <good.nfo; done
# (An emulator starts threads of its own, which the limit counts too.)
if [ "$(id -u)" = 0 ] && [ $emulated = no ]; then
    own_user=$((100000 + $$))
    for limit in 3 1; do
        ASAN_OPTIONS=detect_leaks=0 setpriv --reuid=$own_user --regid=$own_user --clear-groups \
            prlimit --nproc=$limit "${tool[@]}" verify -r --brief -j 8 case/workers >out 2>err
        status=$?
        [ $status = 0 ] && [ "$(grep -c ': genuine$' out)" = 12 ] &&
            grep -Eq "^qortool: -j 8: only [0-7] workers could start: " err ||
            fail "verify -j 8 under a process limit of $limit: exit $status: $(cat err)"
    done
fi
"${tool[@]}" verify -j '' case/genuine 2>err
[ $? = 2 ] && grep -q "j needs a number from 1 to 256, not ''" err || fail "-j '': $(cat err)"
"${tool[@]}" verify --read-ahead 257 case/genuine 2>err
[ $? = 2 ] && grep -q "read-ahead needs a number from 0 to 256, not '257'" err || fail "--read-ahead 257: $(cat err)"

if [ $quick = no ]; then
    # 5 GiB, sparse, with a well-formed trailer: measured past 4 GiB and
    # scanned to the end without being read into memory.
    mkdir -p case/sparse && truncate -s $((5 << 30)) case/sparse/qor.nfo
    tail -c 61 good.nfo | dd of=case/sparse/qor.nfo bs=1 seek=$(((5 << 30) - 61)) conv=notrunc 2>/dev/null
    check sparse "$verification" 600
fi

finish "all failure matrix cases passed"
