#!/bin/bash
# verify --state and audit: runs recorded in a state database, incremental
# runs that read only what changed, a killed run resumed, what changed
# between runs, excludes, and databases that must be refused untouched.
# usage: state_test.sh SAMPLE_BODY [EMULATOR...] QORTOOL
# For Windows (under Wine) the cases that need Linux are left out.
set -u
source "$(dirname "$0")/lib.sh"
sample=$(realpath "$1")
shift
tool_and_work "$@"

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

# A run killed between commits (a test hook kills it at its fifth record,
# after committing the first four) is resumed: what it committed is
# counted, not read or printed again, the rest is judged once, and the run
# ends finished.
(QOR_TEST_KILL_AFTER=5 "${tool[@]}" verify -r --brief -j 1 --state k.db arc >/dev/null; true) 2>/dev/null
run 0 audit --state k.db --runs
grep -q '^1 .* unfinished 4 ' out || fail "the killed run, as audit lists it: $(cat out err)"
[ "$(sql k.db 'SELECT count(*) FROM judgement')" = 4 ] || fail "the killed run committed $(sql k.db 'SELECT count(*) FROM judgement')"
[ "$(sql k.db 'PRAGMA integrity_check')" = ok ] || fail "the killed run left $(sql k.db 'PRAGMA integrity_check')"
run 1 verify -r --brief -j 1 --state k.db --resume arc
[ "$(cat out)" = "arc/skip/d: genuine" ] ||
    fail "the resumed run printed: $(cat out)"
grep -qx 'qortool: 4 releases judged before the run was cut off' err || fail "resumed: $(cat err)"
grep -qx 'qortool: WARNING: 1 of 5 releases are NOT genuine' err ||
    fail "the resumed run's summary left out what was judged before: $(cat err)"
[ "$(sql k.db 'SELECT count(*), count(DISTINCT path), sum(run = 1) FROM judgement; SELECT finished FROM run')" = "$(printf '5|5|5\n1')" ] ||
    fail "after the resume: $(sql k.db 'SELECT run, path FROM judgement; SELECT * FROM run')"
run 2 verify -r -q --state k.db --resume arc
grep -q 'no unfinished run to resume' err || fail "a second --resume: $(cat err)"

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
run 2 audit --state k.db
grep -q 'fewer than two finished runs' err || fail "one run: $(cat err)"

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

if [ $windows = no ]; then
    # Another run holds the database: refused at once.
    mkfifo hold
    sqlite3 s.db <hold >held &
    exec 3>hold
    echo 'PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; SELECT count(*) FROM run;' >&3
    while [ ! -s held ]; do sleep 0.05; done
    cp s.db before
    run 2 verify -q --state s.db arc
    exec 3>&-
    wait
    grep -q 's.db: in use by another run of qortool' err || fail "a second run: $(cat err)"
    cmp -s s.db before || fail "the second run changed the database"

    ln -s s.db link.db
    run 2 verify -q --state link.db arc/e
    grep -q 'link.db: a symbolic link, not followed' err || fail "a linked database: $(cat err)"

    # A database the user may not write.
    if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
        cp s.db ro.db && chmod 444 ro.db && chown nobody ro.db && chmod 777 .
        as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        "${as_nobody[@]}" "${tool[@]}" verify -q --state ro.db arc/e 2>err
        [ $? = 2 ] && grep -q 'ro.db: cannot write the state database: it is read-only' err ||
            fail "a read-only database: $(cat err)"
    fi

    # A full disk: the run stops with exit status 2, and the database holds
    # the runs before it, whole.
    if [ "$(id -u)" = 0 ] && mkdir small && mount -t tmpfs -o size=64k tmpfs small 2>/dev/null; then
        for i in $(seq 1 150); do mkdir -p many/r$i && cp arc/e/qor.nfo many/r$i/; done
        run 1 verify -r -q --state small/s.db arc
        head -c 40000 /dev/zero >small/filler 2>/dev/null
        run 2 verify -r -q --state small/s.db many
        grep -q 'small/s.db: .*No space left on device\|small/s.db: .*disk is full' err || fail "a full disk: $(cat err)"
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

finish "all state database cases passed"
