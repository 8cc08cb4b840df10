#!/bin/bash
# qortool issue and stamp never lose data: when a write fails (a file size
# limit standing in for a full disk, a read-only folder) or is interrupted,
# the file they were to replace is left as it was, and no temporary file is
# left behind where the tool could clean up.
# usage: data_safety.sh QORTOOL SAMPLE_BODY
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cp "$1" "$work/qortool" && cp "$2" "$work/sample.txt"
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
kept() { cmp -s "$1" "$1.orig" || fail "$2: $1 was changed"; }
no_temp() { ls -a | grep -q '\.tmp-' && fail "$1: a temporary file was left: $(ls -a | grep '\.tmp-')"; }

head -c $((4 << 20)) < <(yes 'a release of some size') >big.body
echo 'the old information file' >qor.nfo && cp qor.nfo qor.nfo.orig
head -c $((2 << 20)) /dev/urandom >qorcert.exe && cp qorcert.exe qorcert.exe.orig

# A full disk: writes past a 1 MiB file size limit fail.
(ulimit -f 1024; ./qortool issue big.body -o qor.nfo --force) 2>err
[ $? = 1 ] && grep -q 'write failed' err || fail "issue past the size limit: $(cat err)"
kept qor.nfo "issue past the size limit"
no_temp "issue past the size limit"
(ulimit -f 1024; ./qortool stamp qorcert.exe 9.9.9) 2>err
[ $? = 1 ] && grep -q 'write failed' err || fail "stamp past the size limit: $(cat err)"
kept qorcert.exe "stamp past the size limit"
no_temp "stamp past the size limit"

# A read-only folder (root writes anywhere, so the tool runs as nobody then).
mkdir readonly && cp qor.nfo qor.nfo.orig readonly/ && chmod 555 readonly
as_user=(); [ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${as_user[@]}" ./qortool issue sample.txt -o readonly/qor.nfo --force 2>err
[ $? = 1 ] && grep -q 'cannot create' err || fail "issue into a read-only folder: $(cat err)"
(cd readonly && kept qor.nfo "issue into a read-only folder")

# Interrupted: the body arrives through a pipe that never ends. SIGTERM lets
# the tool remove its temporary file; after SIGKILL only that file can remain,
# never a changed qor.nfo.
for signal in TERM KILL; do
    rm -f feed && mkfifo feed
    ./qortool issue feed -o qor.nfo --force 2>/dev/null &
    pid=$!
    exec 3>feed
    head -c 100000 big.body >&3
    sleep 0.5
    kill -$signal $pid
    wait $pid 2>/dev/null
    exec 3>&-
    kept qor.nfo "issue interrupted by SIG$signal"
    [ $signal = TERM ] && no_temp "issue interrupted by SIGTERM"
    rm -f qor.nfo.tmp-*
done

[ $failures = 0 ] && echo "all data safety cases passed"
exit $((failures > 0))
