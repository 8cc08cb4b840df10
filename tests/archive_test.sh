#!/bin/bash
# qortool verify over an archive: one line or one JSON object per release, a
# summary, recursion, lists, parallel workers in a stable order, notes on
# uncovered bytes and ambiguous folders, write errors, growing files and a
# progress line on a terminal.
# usage: archive_test.sh SAMPLE_BODY [EMULATOR...] QORTOOL
# For Windows (under Wine) the cases that need Linux are left out.
set -u
source "$(dirname "$0")/lib.sh"
sample=$(realpath "$1")
shift
tool_and_work "$@"

# The archive: releases at several depths, and each way a release can fail.
mkdir -p arc/a/deep/er arc/b arc/tampered arc/truncated arc/ambiguous arc/appended arc/not-a-release
"${tool[@]}" issue "$sample" -o arc/a/qor.nfo 2>/dev/null
good=arc/a/qor.nfo
cp $good arc/a/deep/er/QOR.NFO
cp $good arc/b/qor.nfo
{ head -c 100 $good; printf X; tail -c +102 $good; } >arc/tampered/qor.nfo
head -c 6100 $good >arc/truncated/qor.nfo
cp $good arc/ambiguous/qor.nfo && cp $good arc/ambiguous/QOR.nfo
# Text appended after a genuine file, then a copy of its trailer: still
# genuine by the scheme, with the appended bytes uncovered.
{ cat $good; printf 'appended after the trailer\r\n'; tail -c 61 $good; } >arc/appended/qor.nfo
size=$(stat -c %s $good)
echo 'no information file here' >arc/not-a-release/readme.txt

presence='Checking for presence of QOR.NFO... failed.'
marker='Searching for QOR marker... failed.'
verification='Verifying QOR authentication information... failed.'
cat >expected.brief <<EOF
arc/a: genuine
arc/a/deep/er: genuine
arc/ambiguous: NOT genuine (more than one information file, differing in letter case)
arc/appended: genuine
arc/b: genuine
arc/tampered: NOT genuine ($verification)
arc/truncated: NOT genuine ($marker)
EOF
# One worker or several, the walk reading ahead of them or not: the same.
for jobs in 1 4 '4 --read-ahead 32' '2 --read-ahead 3'; do
    # shellcheck disable=SC2086 # the count and its options
    run 1 verify -r --brief -j $jobs arc
    cmp -s out expected.brief || fail "-r --brief -j $jobs printed:
$(cat out)"
    [ -e err.1 ] || cp err err.1
    cmp -s err.1 err || fail "-j 1 and -j $jobs report differently: $(cat err.1) / $(cat err)"
done
grep -qx 'qortool: WARNING: 3 of 7 releases are NOT genuine' err || fail "no summary: $(cat err)"
grep -q "arc/appended: a marker at offset $((size - 61)) ends the scan; the 89 bytes after it are not covered" err ||
    fail "no note on the uncovered bytes: $(cat err)"
grep -q 'arc/ambiguous: ambiguous: QOR.nfo, qor.nfo' err || fail "no note on the ambiguous folder: $(cat err)"
# Walks one after another, from a list: each folder's releases in turn.
printf 'arc/b\narc/a\n' >walks
run 0 verify -r --brief -j 2 --files-from walks
printf 'arc/b: genuine\narc/a: genuine\narc/a/deep/er: genuine\n' | cmp -s - out ||
    fail "-r --files-from printed: $(cat out)"
run 1 verify -r --brief --strict arc/appended
grep -qx 'arc/appended: NOT genuine (bytes of the content are not covered by the code)' out ||
    fail "--strict: $(cat out)"
run 0 verify -r -q arc/a arc/b
[ ! -s out ] && [ ! -s err ] || fail "-q printed something: $(cat out err)"

# One JSON object per line, with the documented fields.
run 1 verify -r --json arc
if command -v python3 >/dev/null; then
    python3 -c '
import json, sys
size = int(sys.argv[1])
# Windows separators, escaped in JSON, arrive here as "//".
rows = {r["path"].replace("//", "/"): r for r in map(json.loads, sys.stdin)}
assert len(rows) == 7, rows.keys()
a, t, amb, app = rows["arc/a"], rows["arc/tampered"], rows["arc/ambiguous"], rows["arc/appended"]
assert a["genuine"] and a["stage"] == 5 and len(a["status"]) == 5 and a["reason"] is None
assert a["verdict"] == "This is a certified genuine QOR release."
assert a["size"] == size and a["covered"] == size - 61 and a["uncovered"] == 0
assert not t["genuine"] and t["status"][-1].endswith("failed.") and t["stage"] == 5
assert rows["arc/truncated"]["stage"] == 3
assert not amb["genuine"] and amb["stage"] == 0 and "letter case" in amb["reason"]
assert app["genuine"] and app["covered"] == size - 61 and app["uncovered"] == 28 + 61
' "$size" <out || fail "--json: $(cat out)"
else
    echo "python3 missing: the JSON lines are not parsed"
fi

# Lists of paths: one per line, NUL-separated, from standard input; a path
# that holds nothing fails the presence stage with the system's reason.
printf 'arc/b\narc/missing\n\narc/a/qor.nfo\n' >list
cat >expected.list <<EOF
arc/b: genuine
arc/missing: NOT genuine ($presence No such file or directory)
arc/a/qor.nfo: genuine
EOF
run 1 verify --brief --files-from list
cmp -s out expected.list || fail "--files-from printed: $(cat out)"
run 1 verify --brief -0 --files-from - < <(printf 'arc/b\0arc/missing\0arc/a/qor.nfo\0')
cmp -s out expected.list || fail "--files-from - -0 printed: $(cat out)"
run 2 verify --files-from
grep -q -- '--files-from needs a file name' err || fail "a missing value: $(cat err)"
run 2 verify -j 0 arc
run 2 verify --files-from absent.list
grep -q 'absent.list: cannot open' err || fail "an absent list: $(cat err)"
# After --, a name that starts with a dash is a path.
cp -r -- arc/b -j
run 0 verify --brief -- -j
grep -qx -- '-j: genuine' out || fail "-- did not end the options: $(cat out)"
run 0 --version
grep -q '^qortool ' out || fail "--version printed: $(cat out)"

[ $windows = yes ] && finish "all archive cases passed (the Linux-only ones left out)"

# A link back up the tree is not followed: no loop, nothing counted twice.
ln -s ../.. arc/a/deep/up
run 1 verify -r --brief arc
cmp -s out expected.brief || fail "a symlinked folder was followed: $(cat out)"

# A file that cannot be read says why (root reads anything: run as nobody).
mkdir -p locked && cp $good locked/qor.nfo && chmod 000 locked/qor.nfo
as_user=(); [ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${as_user[@]}" "${tool[@]}" verify --brief locked >out 2>err
[ $? = 1 ] && grep -qx "locked: NOT genuine ($presence Permission denied)" out ||
    fail "an unreadable file: $(cat out err)"
mkdir -p folder/qor.nfo
run 1 verify --brief folder
grep -qx "folder: NOT genuine ($presence Is a directory)" out || fail "a folder named qor.nfo: $(cat out)"

# Output that cannot be written is the tool's own error.
"${tool[@]}" verify arc/a >/dev/full 2>err
[ $? = 2 ] && grep -q 'write error' err || fail "verify >/dev/full: $(cat err)"

# A file that grows while it is scanned still ends in a verdict.
head -c $((64 << 20)) < <(yes 'a long release line') >long.body
"${tool[@]}" issue long.body -o growing.nfo 2>/dev/null && rm long.body
(while :; do head -c 65536 /dev/zero >>growing.nfo; done) &
grower=$!
timeout 120 "${tool[@]}" verify growing.nfo >out 2>err
status=$?
kill $grower; wait $grower 2>/dev/null
[ $status -le 1 ] && grep -q 'certified genuine QOR release' out || fail "a growing file: exit $status: $(cat out err)"
rm -f growing.nfo

# Progress on a terminal: releases trickle in through a pipe, so the work is
# long; the line shows on the terminal and never when standard error is not
# one, nor with --json.
if command -v script >/dev/null; then
    mkfifo feed
    (for r in a b a/deep/er; do echo arc/$r; sleep 0.7; done >feed) &
    script -qec "${tool[*]} verify --brief --files-from feed" /dev/null >terminal 2>&1
    grep -q 'releases checked: [0-9]' terminal || fail "no progress line on a terminal: $(cat -v terminal)"
    grep -q $'\e\[K' terminal || fail "the progress line was not wiped"
    (for r in a b a/deep/er; do echo arc/$r; sleep 0.7; done >feed) &
    run 0 verify --brief --files-from feed
    grep -q checked err && fail "a progress line when standard error is no terminal"
    (for r in a b a/deep/er; do echo arc/$r; sleep 0.7; done >feed) &
    script -qec "${tool[*]} verify --json --files-from feed 2>&1 >/dev/null" /dev/null >terminal 2>&1
    grep -q checked terminal && fail "a progress line with --json"
fi

finish "all archive cases passed"
