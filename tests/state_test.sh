#!/bin/bash
# verify --state and audit: runs recorded in a state database, incremental
# runs that read only what changed, a killed run resumed, what changed
# between runs, excludes, and databases that must be refused untouched.
# usage: state_test.sh SAMPLE_BODY V1_DATABASE KILLER [EMULATOR...] QORTOOL
# (V1_DATABASE: a database that the release before scopes wrote; KILLER:
# the tests' qortool that a run ends in at a chosen record.)
# For Windows (under Wine) the cases that need Linux are left out.
set -u
source "$(dirname "$0")/lib.sh"
sample=$(realpath "$1")
fixture=$(realpath "$2")
killer_program=$(realpath "$3")
shift 3
tool_and_work "$@"
killer=("${tool[@]:0:${#tool[@]}-1}" "$killer_program")

mkdir -p arc/a arc/b arc/c arc/bad arc/skip/d
"${tool[@]}" issue "$sample" -o arc/a/qor.nfo 2>/dev/null
for r in b c skip/d; do cp arc/a/qor.nfo arc/$r/; done
{ head -c 100 arc/a/qor.nfo; printf X; tail -c +102 arc/a/qor.nfo; } >arc/bad/qor.nfo
sql() { sqlite3 "$@" 2>&1 | tr -d '\r'; }

# Which releases a run read: its JSON lines' paths with "read":true.
read_by() { grep '"read":true' "$1" | sed 's/^{"path":"\([^"]*\)".*/\1/; s#//#/#g' | sort | tr '\n' ' '; }

# A full run records every release; an incremental run over the untouched
# archive reads none, and says so in each format.
run 1 verify -r --json --state s.db arc
[ "$(read_by out)" = "arc/a arc/b arc/bad arc/c arc/skip/d " ] || fail "a full run read: $(read_by out)"
run 1 verify -r --json --state s.db --incremental arc
[ "$(read_by out)" = "" ] || fail "an incremental run over an unchanged archive read: $(read_by out)"
grep -q '"read":false,"unchanged_since":"20[0-9-]*T[0-9:]*Z"}' out || fail "no date in JSON: $(head -1 out)"
grep -qx 'qortool: 5 releases unchanged since last read, not read again' err ||
    fail "no count of unread releases: $(cat err)"
run 1 verify -r --state s.db arc
cp out blocks
run 1 verify -r --state s.db --incremental arc
cmp -s out blocks || fail "recorded verdicts print otherwise: $(diff blocks out)"
grep -q '^qortool: arc/bad: unchanged since 20[0-9-]*T[0-9:]*Z, not read again$' err ||
    fail "no note of a verdict taken over: $(cat err)"
run 1 verify -r --brief --state s.db --incremental arc
grep -qx 'arc/a: genuine (unchanged since 20[0-9-]*T[0-9:]*Z)' out || fail "brief, genuine: $(cat out)"
grep -qx 'arc/bad: NOT genuine (Verifying QOR authentication information... failed.; unchanged since 20[0-9-]*T[0-9:]*Z)' out ||
    fail "brief, NOT genuine: $(cat out)"
if [ $windows = no ] && command -v strace >/dev/null; then
    strace -f -e trace=openat -o trace "${tool[@]}" verify -r -q --state s.db --incremental arc
    grep -q 'qor.nfo.*= [0-9]' trace && fail "an unchanged archive had information files opened: $(grep qor.nfo trace)"
fi

# What makes a release read again: a rewrite that puts its size and
# modification time back (its change time moves), a file of a new identity
# in its place, a run under another key setting, --recheck-after.
if [ $windows = no ]; then
    changed=$(stat -c %z arc/b/qor.nfo)
    while [ "$(stat -c %z arc/b/qor.nfo)" = "$changed" ]; do
        cp arc/b/qor.nfo same && cat same >arc/b/qor.nfo && touch -r same arc/b/qor.nfo
    done
fi
cp -p arc/c/qor.nfo new.nfo && mv new.nfo arc/c/qor.nfo
run 1 verify -r --json --state s.db --incremental arc
want="arc/c "; [ $windows = no ] && want="arc/b arc/c "
[ "$(read_by out)" = "$want" ] || fail "after a rewrite and a replacement, read: $(read_by out)"
run 1 verify -r --json --state s.db --incremental --strict arc
[ "$(read_by out | wc -w)" = 5 ] || fail "under --strict, recorded verdicts were taken over: $(read_by out)"
run 1 verify -r --json --state s.db --incremental --recheck-after 0 arc
[ "$(read_by out | wc -w)" = 5 ] || fail "--recheck-after 0 read: $(read_by out)"

# A run killed at a record (by the tests' build, whose hook ends it there):
# every release it committed was printed first. The list trickles in, so
# that a commit falls between the releases (one a second at the most).
printf 'arc/a\narc/bad\narc/b\narc/c\narc/skip/d\n' >five
trickle() { (head -n 2 five; sleep 1.5; tail -n +3 five) >"$1"; }
mkfifo kill-feed
trickle kill-feed &
QOR_KILL_AT_RECORD=4 "${killer[@]}" verify --brief -j 1 --state k.db --files-from kill-feed >killed.out 2>/dev/null
wait
tr -d '\r' <killed.out >killed
run 0 audit --state k.db --runs
grep -q '^1 .* unfinished 3 ' out || fail "the killed run, as audit lists it: $(cat out err)"
[ "$(sql k.db 'PRAGMA integrity_check')" = ok ] || fail "the killed run left $(sql k.db 'PRAGMA integrity_check')"
for r in $(sql k.db 'SELECT path FROM judgement'); do
    grep -q "^$r: " killed || fail "$r was committed but not printed: $(cat killed)"
done
grep -q '^arc/bad: NOT genuine' killed || fail "the NOT genuine release was not printed before the kill"
printf X | dd of=arc/b/qor.nfo bs=1 seek=200 conv=notrunc 2>/dev/null
cat five >kill-feed &
run 1 verify --brief -j 1 --state k.db --resume --files-from kill-feed
wait
[ "$(cat out)" = "$(printf 'arc/b: NOT genuine (Verifying QOR authentication information... failed.)\narc/c: genuine\narc/skip/d: genuine')" ] ||
    fail "the resumed run printed: $(cat out)"
grep -qx 'qortool: 2 releases judged before the run was cut off' err || fail "resumed: $(cat err)"
grep -qx 'qortool: WARNING: 2 of 5 releases are NOT genuine' err ||
    fail "the resumed run's summary left out what was judged before: $(cat err)"
cp arc/a/qor.nfo arc/b/qor.nfo
[ "$(sql k.db 'SELECT count(*), count(DISTINCT path), sum(run = 1) FROM judgement; SELECT finished FROM run')" = "$(printf '5|5|5\n1')" ] ||
    fail "after the resume: $(sql k.db 'SELECT run, path FROM judgement; SELECT * FROM run')"
cat five >kill-feed &
run 2 verify -q --state k.db --resume --files-from kill-feed
wait
grep -q 'no unfinished run to resume: the latest run, 1, finished' err || fail "a second --resume: $(cat err)"
# Only the latest run, only if cut off, only over what it looked at.
QOR_KILL_AT_RECORD=1 "${killer[@]}" verify -q --state k.db arc/a arc/b >/dev/null 2>&1
run 2 verify -q --state k.db --resume arc/a
grep -q 'k.db: run 2 looked at .*; --resume goes on with the same PATHs' err || fail "a foreign --resume: $(cat err)"
run 0 verify -q --state k.db arc/a
run 2 verify -q --state k.db --resume arc/a arc/b
grep -q 'the latest run, 3, finished' err || fail "a stale --resume: $(cat err)"

# What changed between the last two finished runs: one release of each
# kind, in both formats; a missing release makes the exit status 1.
rm -f s.db
run 1 verify -r -q --state s.db arc
mkdir arc/e && cp arc/a/qor.nfo arc/e/
rm -r arc/c
printf X | dd of=arc/a/qor.nfo bs=1 seek=100 conv=notrunc 2>/dev/null
cp -p arc/b/qor.nfo new.nfo && mv new.nfo arc/b/qor.nfo
run 1 verify -r -q --state s.db --incremental arc
run 1 audit --state s.db
cat >expected <<'X'
arc/a: verdict changed: genuine -> NOT genuine (Verifying QOR authentication information... failed.)
arc/b: content changed: genuine
arc/c: missing: genuine
arc/e: new: genuine
X
cmp -s out expected || fail "audit printed: $(cat out)"
grep -qx 'qortool: run 1 to run 2: 1 new, 1 missing, 1 verdict changed, 1 content changed, 2 unchanged' err ||
    fail "audit summary: $(cat err)"
run 1 audit --state s.db --json
[ "$(sed 's/.*"change":"\([a-z ]*\)".*/\1/' out | tr '\n' ,)" = "verdict changed,content changed,missing,new," ] ||
    fail "audit --json: $(cat out)"
python3 -c 'import json,sys; [json.loads(l) for l in open("out")]' || fail "audit --json is not JSON: $(cat out)"
run 0 audit --state s.db --exclude c --exclude a
[ "$(cut -d: -f1 out | tr '\n' ' ')" = "arc/b arc/e " ] || fail "audit --exclude: $(cat out)"
run 0 audit --state s.db --run 2 --run 2
[ -s out ] && fail "a run against itself: $(cat out)"
run 0 audit --state s.db --runs
[ "$(cut -d' ' -f1,4 out | tr '\n' ,)" = "1 5,2 5," ] || fail "--runs: $(cat out)"
run 0 verify -q --state one.db arc/e
run 2 audit --state one.db
grep -q 'fewer than two finished runs' err || fail "one run: $(cat err)"

# Where the newer run did not look: an outage is not seen, never missing;
# a filter, other PATHs or another spelling of the same PATHs leave out,
# never remove.
mkdir -p share/r1 share/r2 && cp arc/e/qor.nfo share/r1/ && cp arc/e/qor.nfo share/r2/
run 0 verify -r -q --state o.db share
mv share share.away
run 1 verify -r --brief --state o.db share
[ "$(cat out)" = "share: not checked (cannot open folder: No such file or directory)" ] || fail "an outage: $(cat out)"
run 1 audit --state o.db
cat >expected <<'X'
share: not seen: not checked (cannot open folder: No such file or directory)
share/r1: not seen (share: cannot open folder: No such file or directory): genuine
share/r2: not seen (share: cannot open folder: No such file or directory): genuine
X
cmp -s out expected || fail "audit after an outage: $(cat out)"
mv share.away share
rm -f f.db
run 1 verify -r -q --state f.db arc
run 1 verify -r -q --state f.db --exclude 'b*' arc
run 0 audit --state f.db
grep -qx 'arc/b: left out (excluded by the newer run): genuine' out && grep -qx 'arc/bad: left out (excluded by the newer run): NOT genuine (Verifying QOR authentication information... failed.)' out ||
    fail "audit after an exclude: $(cat out)"
grep -q ', 2 left out (2 excluded by the newer run)$' err || fail "left out, counted: $(cat err)"
run 1 verify -r -q --state f.db ./arc/
run 0 audit --state f.db
grep -qx './arc/b: left out (excluded by the older run): genuine' out ||
    fail "the full run after an exclude: $(cat out)"
run 1 verify -r -q --state f.db arc//
run 0 audit --state f.db
[ -s out ] && fail "arc// against ./arc/: $(cat out)"
if [ $windows = no ]; then
    run 1 verify -r -q --state f.db "$PWD/arc"
    run 0 audit --state f.db
    [ -s out ] && fail "the absolute path against arc//: $(cat out)"
fi
run 0 verify -q --state f.db arc/e
run 0 audit --state f.db
grep -Eq "arc/+b: left out \(outside the newer run's PATHs\): genuine$" out && ! grep -q missing out ||
    fail "a run over one release: $(cat out)"

# Damaged databases are errors, never an empty audit.
for damage in 'ALTER TABLE judgement DROP COLUMN was_read' 'DROP TABLE judgement' \
    'ALTER TABLE run RENAME TO runs'; do
    cp f.db d.db && sql d.db "$damage" >/dev/null
    run 2 audit --state d.db
    grep -q 'd.db: damaged: its tables are not those of a state database of version 2' err ||
        fail "audit after $damage: $(cat out err)"
    run 2 verify -q --state d.db arc/a
    grep -q 'd.db: damaged' err || fail "verify after $damage: $(cat err)"
done

# A database that the release before scopes wrote: upgraded in place, its
# runs kept and compared by their names, and new runs added.
cp "$fixture" v1.db
run 0 audit --state v1.db --runs
[ "$(cut -d' ' -f1,4 out | tr '\n' ,)" = "1 3,2 3," ] || fail "the old database's runs: $(cat out)"
[ "$(sql v1.db 'PRAGMA user_version')" = 2 ] || fail "not upgraded: $(sql v1.db 'PRAGMA user_version')"
run 1 audit --state v1.db
[ "$(cat out)" = "arc/r2: verdict changed: genuine -> NOT genuine (Searching for QOR marker... failed.)" ] ||
    fail "audit of the old database: $(cat out)"
run 1 verify -r -q --state v1.db arc
run 0 audit --state v1.db --runs
[ "$(wc -l <out)" = 3 ] || fail "a run added to the old database: $(cat out)"

# Reports: CSV rows a spreadsheet reads back whole and takes no formula
# from; an HTML page that shows markup in a name as text.
# (Windows holds no " < > in a name: there, names of what it holds.)
formula='=HYPERLINK("x","y")' markup='<img src=x onerror=alert(1)>'
markup_html='<code>rep/&lt;img src=x onerror=alert(1)&gt;</code>'
if [ $windows = yes ]; then
    formula='=HYPERLINK(x,y)' markup="Tom & Jerry's" markup_html='<code>rep/Tom &amp; Jerry&#39;s</code>'
fi
mkdir -p rep && cp -r arc/e "$formula" && cp -r arc/e "rep/$markup"
run 0 verify -r -q --state r.db rep "$formula"
mkdir -p rep/new && cp arc/e/qor.nfo rep/new/
run 0 verify -r -q --state r.db rep "$formula"
run 0 audit --state r.db --run 1 --run 2 --csv
python3 - out <<'PY' || fail "audit --csv: $(cat out)"
import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline='')))
assert rows[0] == ['path', 'change', 'why', 'old verdict', 'new verdict'], rows[0]
assert ['rep/new', 'new', '', '', 'genuine'] in rows, rows
PY
printf X | dd of="$formula/qor.nfo" bs=1 seek=100 conv=notrunc 2>/dev/null
rm -r "rep/$markup"
run 1 verify -r -q --state r.db rep "$formula"
run 1 audit --state r.db --csv
python3 - out.raw "$formula" "rep/$markup" <<'PY' || fail "audit --csv with hostile names: $(cat out)"
import csv, sys
rows = {r[0].replace('\\', '/'): r for r in csv.reader(open(sys.argv[1], newline=''))}
assert rows["'" + sys.argv[2]][1] == 'verdict changed', rows
assert rows[sys.argv[3]][1] == 'missing', rows
PY
run 1 audit --state r.db --html report.html
tr '\\' / <report.html | grep -qF "$markup_html" && ! grep -q '<img' report.html &&
    grep -q '<svg' report.html || fail "the HTML report: $(cat report.html)"
cp report.html report.before && echo 'a page of its own' >>report.before && cp report.before report.html
run 2 audit --state r.db --html report.html
cmp -s report.html report.before && grep -q 'report.html' err || fail "an existing report replaced: $(cat err)"
run 1 audit --state r.db --html report.html --force
cmp -s report.html report.before && fail "--force did not replace the report"

# Excludes: folders below the operand and listed entries; an operand whose
# releases are all excluded has no release found.
run 1 verify -r --brief --exclude 'b*' --exclude skip arc
[ "$(cut -d: -f1 out | tr '\n' ' ')" = "arc/a arc/e " ] || fail "--exclude in -r: $(cat out)"
printf 'arc/a\narc/b\narc/e\n' >list
run 0 verify --brief --exclude 'arc/[ab]' --files-from list
[ "$(cat out)" = "arc/e: genuine" ] || fail "--exclude in a list: $(cat out)"
run 1 verify -r --brief --exclude '*' arc/skip
[ "$(cat out)" = "arc/skip: not checked (no release found)" ] || fail "all excluded: $(cat out)"

# Databases that are refused, each with a clear message, exit status 2 and
# the file as it was: text, another program's SQLite file, a cut database,
# one of a newer version, and one in use by another run.
echo 'not a database' >text.db
sql foreign.db 'CREATE TABLE t (x); INSERT INTO t VALUES (1)' >/dev/null
head -c 3000 s.db >cut.db
cp s.db newer.db && sql newer.db 'PRAGMA user_version = 7' >/dev/null
for db in text.db foreign.db cut.db newer.db; do
    cp $db before
    run 2 verify -q --state $db arc/e
    cmp -s $db before || fail "$db was changed"
    [ -e $db-journal ] && fail "$db left a journal"
    grep -q "$db: " err && [ "$(wc -l <err)" = 1 ] || fail "$db: $(cat err)"
done
grep -q 'newer.db: a state database of version 7' err || fail "newer: $(cat err)"
run 2 verify -q --incremental arc
grep -q -- '--incremental goes with --state' err || fail "--incremental alone: $(cat err)"

# Another run holds the database (it waits on its list): a second run is
# refused at once, while audits read it and list it as running.
mkfifo slow
(printf 'arc/a\n'; sleep 3; printf 'arc/e\n') >slow &
"${tool[@]}" verify -q --state s.db --files-from slow 2>/dev/null &
holder=$!
sleep 1.5
cp s.db before
run 2 verify -q --state s.db arc
grep -q 's.db: in use by another run of qortool' err || fail "a second run: $(cat err)"
run 0 audit --state s.db --runs
tail -n 1 out | grep -q '^[0-9]* .* running [01] ' || fail "a run under way, as --runs lists it: $(cat out err)"
run 1 audit --state s.db
wait $holder
wait
run 0 audit --state s.db --runs
tail -n 1 out | grep -q '^[0-9]* .*Z 2 ' || fail "the run, once finished: $(cat out)"

if [ $windows = no ]; then
    [ "$(stat -c %a s.db)" = 600 ] || fail "a new database is mode $(stat -c %a s.db), not 600"

    # Nobody else's files: a database in a shared folder, or another
    # user's, is refused before anything in it is read.
    mkdir -m 1777 shared
    run 2 verify -q --state shared/s.db arc/e
    grep -q 'shared/s.db: not used: the folder that holds it can be written by other users' err ||
        fail "a database in a shared folder: $(cat err)"
    [ -e shared/s.db ] && fail "a database was made in a shared folder"
    cp s.db other.db && chown nobody other.db
    run 2 audit --state other.db
    grep -q 'other.db: not used: it belongs to another user' err || fail "another user's database: $(cat err)"

    ln -s s.db link.db
    run 2 verify -q --state link.db arc/e
    grep -q 'link.db: a symbolic link, not followed' err || fail "a linked database: $(cat err)"

    # A database the user may not write.
    if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
        mkdir theirs && cp s.db theirs/ro.db && chmod 444 theirs/ro.db && chown -R nobody theirs
        as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        "${as_nobody[@]}" "${tool[@]}" verify -q --state theirs/ro.db arc/e 2>err
        [ $? = 2 ] && grep -q 'ro.db: cannot write the state database: it is read-only' err ||
            fail "a read-only database: $(cat err)"
    fi

    # A full disk: the run stops with exit status 2, and the database holds
    # the runs before it, whole.
    if [ "$(id -u)" = 0 ] && mkdir small && mount -t tmpfs -o size=256k,mode=0755 tmpfs small 2>/dev/null; then
        for i in $(seq 1 150); do mkdir -p many/r$i && cp arc/e/qor.nfo many/r$i/; done
        run 1 verify -r -q --state small/s.db arc
        head -c 1M /dev/zero >small/filler 2>/dev/null
        run 2 verify -r -q --state small/s.db many
        grep -q 'small/s.db: .*No space left on device\|small/s.db: .*disk is full' err || fail "a full disk: $(cat err)"
        rm small/filler
        [ "$(sql small/s.db 'PRAGMA integrity_check; SELECT count(*) FROM run WHERE finished')" = "$(printf 'ok\n1')" ] ||
            fail "after a full disk: $(sql small/s.db 'PRAGMA integrity_check')"
        umount small
    else
        echo "no tmpfs to fill here: the full disk case is left out"
    fi
fi

# On a terminal, the progress line counts against the last run's releases:
# they trickle in through a pipe, so that the line shows.
if [ $windows = no ] && command -v script >/dev/null; then
    printf 'arc/a\narc/b\narc/e\n' >three
    run 1 verify -q --state p.db --files-from three
    mkfifo feed
    (for r in a b e; do echo arc/$r; sleep 0.7; done >feed) &
    script -qec "${tool[*]} verify --brief --state p.db --files-from feed" /dev/null >terminal 2>&1
    wait
    grep -q 'releases checked: [0-9]/3' terminal || fail "no n/N on the progress line: $(cat -v terminal)"
fi

if [ $windows = no ] && [ $# = 1 ] && command -v cc >/dev/null; then
    # A slow disk (each fdatasync takes 300 ms) makes batches larger, not
    # commits more frequent: 1500 releases in a few commits.
    cat >slow_sync.c <<'C'
#include <stdio.h>
#include <unistd.h>
int fdatasync(int fd) {
    (void)fd;
    usleep(300000);
    FILE *f = fopen("syncs", "a");
    if (f)
        fputs("s\n", f), fclose(f);
    return 0;
}
int fsync(int fd) { return fdatasync(fd); }
C
    cc -shared -fPIC -o slow_sync.so slow_sync.c || fail "the slow disk shim did not build"
    for i in $(seq 1500); do mkdir -p many_slow/r$i && cp arc/e/qor.nfo many_slow/r$i/; done
    rm -f syncs
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 LD_PRELOAD=$PWD/slow_sync.so "${tool[@]}" verify -r -q --state slow.db many_slow || fail "the run on a slow disk"
    [ "$(sql slow.db 'SELECT count(*) FROM judgement')" = 1500 ] || fail "a slow disk recorded $(sql slow.db 'SELECT count(*) FROM judgement')"
    [ "$(wc -l <syncs)" -lt 60 ] || fail "a slow disk: $(wc -l <syncs) syncs for 1500 releases"

    # A qor.nfo that a link swaps between a genuine and a tampered file
    # while runs go on: every record holds the identity of the file whose
    # verdict it records.
    cp arc/e/qor.nfo good.nfo && cp arc/bad/qor.nfo bad.nfo
    for i in $(seq 40); do mkdir -p swapped/r$i && ln -s ../../good.nfo swapped/r$i/qor.nfo; done
    (
        while [ ! -e stop-swapping ]; do
            for i in $(seq 40); do
                ln -sfn ../../bad.nfo swapped/r$i/next && mv -T swapped/r$i/next swapped/r$i/qor.nfo
                ln -sfn ../../good.nfo swapped/r$i/next && mv -T swapped/r$i/next swapped/r$i/qor.nfo
            done
        done
    ) &
    for n in 1 2 3 4 5; do "${tool[@]}" verify -r -q -j 2 --state swap.db swapped; done
    touch stop-swapping
    wait
    good=$(stat -c %i good.nfo) bad=$(stat -c %i bad.nfo)
    [ "$(sql swap.db "SELECT count(*) FROM judgement WHERE inode IS NOT NULL AND (genuine AND inode <> $good OR NOT genuine AND inode <> $bad)")" = 0 ] ||
        fail "records whose identity is not the file judged: $(sql swap.db "SELECT path, genuine, inode FROM judgement WHERE inode IS NOT NULL AND (genuine AND inode <> $good OR NOT genuine AND inode <> $bad)" | head)"
fi

# In a terminal 40 columns wide, the progress line never wraps.
if [ $windows = no ] && command -v script >/dev/null; then
    mkfifo narrow
    (for r in a b e; do echo arc/$r; sleep 0.7; done >narrow) &
    script -qec "stty cols 40; ${tool[*]} verify --brief --state p.db --files-from narrow" /dev/null >terminal 2>&1
    wait
    grep -q 'releases checked' terminal || fail "no progress line in 40 columns: $(cat -v terminal)"
    tr '\r' '\n' <terminal | sed 's/\x1b\[K//g' | awk '/releases checked/ && length > 39 { bad = 1 } END { exit bad }' ||
        fail "a line past 40 columns: $(cat -v terminal)"
fi

finish "all state database cases passed"
