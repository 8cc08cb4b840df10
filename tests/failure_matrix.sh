#!/bin/bash
# qortool verify on broken, truncated, extended and hostile information files:
# each case ends in a verdict or a clear message, within a time limit, and
# only a genuine file is called genuine.
# usage: failure_matrix.sh QORTOOL SAMPLE_BODY [--quick]  (--quick: no 5 GiB case)
set -u
qortool=$(realpath "$1") sample=$(realpath "$2") quick=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
genuine_verdict='This is a certified genuine QOR release.'

# check NAME WANT [SECONDS]: verifies case/NAME within a time limit; WANT is
# "genuine" or the status line that must end in "failed.".
check() {
    local name=$1 want=$2 limit=${3:-60}
    timeout "$limit" "$qortool" verify "case/$name" >out 2>err
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

"$qortool" issue "$sample" -o good.nfo
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
"$qortool" issue zeros.body -o zeros.nfo && make_case zeros-issued <zeros.nfo && check zeros-issued genuine

# Things named qor.nfo that are not regular files.
mkdir -p case/folder/qor.nfo && check folder "$presence"
mkdir -p case/pipe && mkfifo case/pipe/qor.nfo && check pipe "$presence" 10
mkdir -p case/device && ln -s /dev/zero case/device/qor.nfo && check device "$presence" 10
mkdir -p case/dangling && ln -s nowhere case/dangling/qor.nfo && check dangling "$presence"

# A file that shrinks while it is scanned ends in a verdict all the same.
head -c $((256 << 20)) < <(yes 'shrinking release line') >big.body
"$qortool" issue big.body -o big.nfo 2>/dev/null && rm big.body && make_case shrinking <big.nfo && rm big.nfo
timeout 120 "$qortool" verify case/shrinking >out 2>&1 &
pid=$!
sleep 0.3
truncate -s $((100 << 20)) case/shrinking/qor.nfo
wait $pid
status=$?
[ $status = 1 ] && grep -q 'This is NOT a certified genuine QOR release.' out ||
    fail "shrinking: exit $status: $(cat out)"

if [ "$quick" != --quick ]; then
    # 5 GiB, sparse, with a well-formed trailer: measured past 4 GiB and
    # scanned to the end without being read into memory.
    mkdir -p case/sparse && truncate -s $((5 << 30)) case/sparse/qor.nfo
    tail -c 61 good.nfo | dd of=case/sparse/qor.nfo bs=1 seek=$(((5 << 30) - 61)) conv=notrunc 2>/dev/null
    check sparse "$verification" 600
fi

[ $failures = 0 ] && echo "all failure matrix cases passed"
exit $((failures > 0))
