#!/bin/bash
# qortool issue, stamp and keygen under hostile and careless conditions: they
# never write through a planted name, never hand a secret to other users,
# never replace a file they promised to keep, never leave half a file or a
# temporary file, and say what failed.
# usage: data_safety.sh SAMPLE_BODY [EMULATOR...] QORTOOL
set -u
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/fake_exe.sh"
sample=$(realpath "$1")
shift
tool_and_work "$@"
trap 'umount "$work/tiny" 2>/dev/null; rm -rf "$work"' EXIT
# A copy of the tool in the work folder, which other users may enter.
cp "${tool[-1]}" qortool && tool[-1]=$work/qortool
cp "$sample" sample.txt
kept() { cmp -s "$1" "$1.orig" || fail "$2: $1 was changed"; }
mode() { stat -c %a "$1"; }
owner() { stat -c %u:%g "$1"; }
# Names in the current folder that were not there at the last `snapshot`,
# apart from those given: whatever the tool left behind.
snapshot() { ls -A | sort >"$work/.listing"; }
left_behind() {
    local what=$1 new
    shift
    new=$(ls -A | sort | comm -13 "$work/.listing" - | grep -vxF -e .listing "${@/#/-e}")
    [ -z "$new" ] || fail "$what: left behind: $new"
}
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
root=no; [ "$(id -u)" = 0 ] && root=yes

head -c $((4 << 20)) < <(yes 'a release of some size') >big.body
echo 'the old information file' >qor.nfo && cp qor.nfo qor.nfo.orig
fake_exe $((2 << 20)) /dev/urandom >qorcert.exe && cp qorcert.exe qorcert.exe.orig

# Every file the tool creates is created exclusively: nothing planted under
# any name, a link or another user's file, is ever opened for writing.
if command -v strace >/dev/null; then
    for command in "issue sample.txt -o traced.nfo" "stamp qorcert.exe 1.0" "keygen -o traced.key"; do
        # LeakSanitizer cannot work under a tracer.
        ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=open,openat,creat -o trace \
            "${tool[@]}" $command 2>err ||
            fail "$command under strace: $(cat err)"
        grep -q 'O_CREAT|O_EXCL' trace || fail "$command: no exclusive creation seen"
        grep -E 'O_CREAT|creat\(' trace | grep -v O_EXCL && fail "$command: a file created without O_EXCL"
    done
    rm -f trace traced.nfo traced.key
    cp qorcert.exe.orig qorcert.exe
else
    echo "strace missing: exclusive creation not traced"
fi

# Modes: a key is 0600 from the start, also when it replaces a file; a
# replaced file keeps its mode; a new one gets the umask's.
"${tool[@]}" keygen -o new.key && [ "$(mode new.key)" = 600 ] || fail "keygen -o: mode $(mode new.key)"
echo old >open.key && chmod 644 open.key
"${tool[@]}" keygen -o open.key --force && [ "$(mode open.key)" = 600 ] ||
    fail "keygen --force over a 0644 file: mode $(mode open.key)"
echo old >private.nfo && chmod 600 private.nfo
"${tool[@]}" issue sample.txt -o private.nfo --force && [ "$(mode private.nfo)" = 600 ] ||
    fail "issue --force over a 0600 file: mode $(mode private.nfo)"
(umask 022 && "${tool[@]}" issue sample.txt -o public.nfo) && [ "$(mode public.nfo)" = 644 ] ||
    fail "issue with umask 022: mode $(mode public.nfo)"
(umask 077 && "${tool[@]}" issue sample.txt -o masked.nfo) && [ "$(mode masked.nfo)" = 600 ] ||
    fail "issue with umask 077: mode $(mode masked.nfo)"

# Owners: root stamping another user's set-uid file gives it back to that
# user, bits and all; a user who cannot give a file back drops its bits.
if [ $root = yes ]; then
    cp qorcert.exe.orig theirs.exe && chown 65534:65534 theirs.exe && chmod 4755 theirs.exe
    "${tool[@]}" stamp theirs.exe 1.0 2>err || fail "stamp as root: $(cat err)"
    [ "$(owner theirs.exe) $(mode theirs.exe)" = "65534:65534 4755" ] ||
        fail "root stamping another user's set-uid file: $(owner theirs.exe) $(mode theirs.exe)"
    mkdir shared && chmod 777 shared && cp qorcert.exe.orig shared/roots.exe && chmod 4755 shared/roots.exe
    "${nobody[@]}" "${tool[@]}" stamp shared/roots.exe 1.0 2>err || fail "stamp as nobody: $(cat err)"
    [ "$(mode shared/roots.exe)" = 755 ] ||
        fail "a set-uid file stamped by a user who cannot keep its owner: $(owner shared/roots.exe) $(mode shared/roots.exe)"
else
    echo "not root: the owner cases are skipped"
fi

# Without --force, a file that appears at OUT while the body is read is left
# alone: the body arrives slowly through a pipe, and OUT appears meanwhile.
mkfifo slow
snapshot
"${tool[@]}" issue slow -o raced.nfo 2>err &
pid=$!
exec 3>slow
head -c 100000 big.body >&3
sleep 0.3
echo 'the file that appeared' >raced.nfo && cp raced.nfo raced.nfo.orig
head -c 100000 big.body >&3
exec 3>&-
wait $pid
status=$?
[ $status = 1 ] && grep -q 'raced.nfo: appeared while it was written' err ||
    fail "a file that appeared meanwhile: exit $status: $(cat err)"
kept raced.nfo "a file that appeared meanwhile"
left_behind "a file that appeared meanwhile" raced.nfo raced.nfo.orig

# stamp refuses what is not a regular file or not a Windows executable, at
# once; it follows a link and stamps the file it names.
mkfifo pipe.exe
timeout 10 "${tool[@]}" stamp pipe.exe 1.0 2>err
[ $? = 1 ] && grep -q 'pipe.exe: cannot stamp: not a regular file' err || fail "stamp on a pipe: $(cat err)"
mkdir folder.exe
"${tool[@]}" stamp folder.exe 1.0 2>err
[ $? = 1 ] && grep -q 'folder.exe: cannot stamp: Is a directory' err || fail "stamp on a folder: $(cat err)"
cp /bin/true elf.exe && cp elf.exe elf.exe.orig
"${tool[@]}" stamp elf.exe 1.0 2>err
[ $? = 1 ] && grep -q 'elf.exe: not a Windows executable' err || fail "stamp on an ELF file: $(cat err)"
kept elf.exe "stamp on an ELF file"
"${tool[@]}" stamp --force elf.exe 1.0 && [ "$(stat -c %s elf.exe)" = $(($(stat -c %s elf.exe.orig) + 46)) ] ||
    fail "stamp --force on an ELF file"
mkdir real && cp qorcert.exe.orig real/qorcert.exe && ln -s real/qorcert.exe link.exe
snapshot
"${tool[@]}" stamp link.exe 1.0 2>err || fail "stamp through a link: $(cat err)"
[ -L link.exe ] && [ "$(readlink link.exe)" = real/qorcert.exe ] || fail "stamp replaced the link"
[ "$(stat -c %s real/qorcert.exe)" = $(($(stat -c %s qorcert.exe.orig) + 46)) ] ||
    fail "stamp through a link did not stamp the file it names"
left_behind "stamp through a link"

# A full disk: a small file system, and a file size limit. The failed write
# is reported as such, naming OUT, the old file stays, nothing is left.
mkdir tiny
if [ $root = yes ] && mount -t tmpfs -o size=1m tmpfs tiny 2>/dev/null; then
    cp qor.nfo.orig tiny/qor.nfo && cp qor.nfo.orig tiny/qor.nfo.orig
    (cd tiny && snapshot && "${tool[@]}" issue ../big.body -o qor.nfo --force 2>../err)
    status=$?
    [ $status = 1 ] && grep -q 'qor.nfo: write failed: No space left on device' err &&
        ! grep -q marker err || fail "issue on a full disk: exit $status: $(cat err)"
    (cd tiny && kept qor.nfo "issue on a full disk" && left_behind "issue on a full disk")
    umount tiny
else
    echo "no tmpfs mount: the full disk case is skipped"
fi
snapshot
(ulimit -f 1024; "${tool[@]}" issue big.body -o qor.nfo --force) 2>err
[ $? = 1 ] && grep -q 'qor.nfo: write failed' err || fail "issue past the size limit: $(cat err)"
kept qor.nfo "issue past the size limit"
left_behind "issue past the size limit"
(ulimit -f 1024; "${tool[@]}" stamp qorcert.exe 9.9.9) 2>err
[ $? = 1 ] && grep -q 'qorcert.exe: write failed' err || fail "stamp past the size limit: $(cat err)"
kept qorcert.exe "stamp past the size limit"
left_behind "stamp past the size limit"

# A read-only folder (root writes anywhere, so the tool runs as nobody then).
mkdir readonly && cp qor.nfo qor.nfo.orig readonly/ && chmod 555 readonly
as_user=(); [ $root = yes ] && as_user=("${nobody[@]}")
"${as_user[@]}" "${tool[@]}" issue sample.txt -o readonly/qor.nfo --force 2>err
[ $? = 1 ] && grep -q 'cannot create' err || fail "issue into a read-only folder: $(cat err)"
(cd readonly && kept qor.nfo "issue into a read-only folder")

# Closed standard input: a read error, and nothing written.
"${tool[@]}" issue - -o closed.nfo <&- 2>err
[ $? = 1 ] && grep -q 'standard input: read failed' err || fail "issue with standard input closed: $(cat err)"
[ ! -e closed.nfo ] || fail "issue with standard input closed wrote a file"

# Interrupted: the body arrives through a pipe that never ends. Each of
# SIGHUP, SIGINT and SIGTERM lets the tool remove its temporary file; after
# SIGKILL only that file can remain, never a changed qor.nfo. (A shell starts
# background commands with SIGINT ignored, and CI may ignore SIGHUP: the
# tool is started with the default dispositions.)
for signal in HUP INT TERM KILL; do
    rm -f feed && mkfifo feed
    snapshot
    env --default-signal=HUP,INT,TERM "${tool[@]}" issue feed -o qor.nfo --force 2>/dev/null &
    pid=$!
    exec 3>feed
    head -c 100000 big.body >&3
    sleep 0.5
    kill -$signal $pid
    wait $pid 2>/dev/null
    exec 3>&-
    kept qor.nfo "issue interrupted by SIG$signal"
    if [ $signal != KILL ]; then left_behind "issue interrupted by SIG$signal"; fi
done

# Signals as the shell left them: started ignoring SIGHUP (nohup) or SIGINT
# and SIGTERM (trap ''), the tool survives them and writes its file whole.
for how in nohup trap; do
    rm -f feed survived.nfo && mkfifo feed
    case $how in
    nohup) env --default-signal=INT,TERM nohup "${tool[@]}" issue feed -o survived.nfo 2>err >/dev/null & ;;
    trap) (trap '' INT TERM && exec env --default-signal=HUP "${tool[@]}" issue feed -o survived.nfo 2>err) & ;;
    esac
    pid=$!
    exec 3>feed
    head -c 100000 big.body >&3
    sleep 0.5
    case $how in nohup) kill -HUP $pid ;; trap) kill -INT $pid && kill -TERM $pid ;; esac
    sleep 0.2
    head -c 10000 big.body >&3
    exec 3>&-
    wait $pid
    status=$?
    [ $status = 0 ] && "${tool[@]}" verify -q survived.nfo || fail "issue under $how: exit $status: $(cat err)"
done

# Messages that name what is wrong: a missing output folder; '-o -' writes
# the issued file to standard output; --show prints no empty second text.
"${tool[@]}" keygen -o absent/secret/group.key 2>err
[ $? = 1 ] && [ "$(cat err)" = "qortool: absent/secret: No such file or directory" ] ||
    fail "keygen into a missing folder: $(cat err)"
"${tool[@]}" issue sample.txt -o - >stdout.nfo 2>err && "${tool[@]}" verify -q stdout.nfo &&
    [ ! -e ./- ] || fail "issue -o -: $(cat err)"
"${tool[@]}" issue sample.txt -o file.nfo 2>/dev/null && cmp -s stdout.nfo file.nfo ||
    fail "issue -o - and -o FILE differ"
cp qorcert.exe.orig shown.exe && "${tool[@]}" stamp shown.exe 1.0 &&
    [ "$("${tool[@]}" stamp --show shown.exe)" = "version: 1.0" ] ||
    fail "stamp --show without a second text: $("${tool[@]}" stamp --show shown.exe)"

# keygen takes its key from the kernel's generator: every byte of the key
# comes from getrandom, whatever the processor offers.
if command -v strace >/dev/null; then
    ASAN_OPTIONS=detect_leaks=0 strace -qq -e trace=getrandom -o trace "${tool[@]}" keygen >random.key 2>err
    # 82 words and at least 7 bytes: 335 bytes or more.
    drawn=$(sed -n 's/^getrandom(.*, 0) *= \([0-9]*\)$/\1/p' trace | awk '{s += $1} END {print s + 0}')
    [ "$drawn" -ge 335 ] || fail "keygen drew ${drawn:-no} bytes from getrandom: $(cat trace)"
    "${tool[@]}" keyid --key random.key >/dev/null || fail "keygen wrote a key it cannot read"
fi

# The longest name the file system allows, and a body that is its own OUT.
long=$(printf 'n%.0s' $(seq 255))
"${tool[@]}" issue sample.txt -o "$long" 2>err && "${tool[@]}" verify -q "$long" ||
    fail "issue to a 255-byte name: $(cat err)"
head -c 7000 big.body >self.body && "${tool[@]}" issue self.body -o self.nfo
"${tool[@]}" issue self.body -o self.body --force 2>err && cmp -s self.body self.nfo ||
    fail "issue BODY -o BODY --force: $(cat err)"

finish "all data safety cases passed"
