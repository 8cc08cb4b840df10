#!/bin/bash
# qortool.exe's file writing under Wine, for the cases that exist on
# Windows: a body that is its own OUT, an OUT kept without --force, stamp's
# refusals, issuing to standard output, keys, and no temporary file left
# behind.
# usage: data_safety_windows.sh SAMPLE_BODY EMULATOR... QORTOOL
set -u
source "$(dirname "$0")/lib.sh"
sample=$(realpath "$1")
shift
tool_and_work "$@"
qortool() { "${tool[@]}" "$@" 2>err; }
snapshot() { ls -A | sort >"$work/.listing"; }
left_behind() {
    local new
    new=$(ls -A | sort | comm -13 "$work/.listing" - | grep -vxF -e .listing -e err)
    [ -z "$new" ] || fail "$1: left behind: $new"
}

cp "$sample" body.txt && cp body.txt self.txt && cp body.txt text.exe
echo keep >kept.nfo
mkdir folder.exe
qortool issue body.txt -o body.nfo || fail "issue: $(cat err)"
snapshot
qortool issue self.txt -o self.txt --force && cmp -s self.txt body.nfo ||
    fail "issue BODY -o BODY --force: $(cat err)"
left_behind "issue BODY -o BODY --force"

qortool issue body.txt -o kept.nfo
[ $? = 1 ] && grep -q 'kept.nfo: already exists' err || fail "issue over an existing OUT: $(cat err)"
[ "$(cat kept.nfo)" = keep ] || fail "an existing OUT was replaced without --force"

qortool stamp folder.exe 1.0
[ $? = 1 ] && grep -q 'folder.exe: cannot stamp' err || fail "stamp on a folder: $(cat err)"
qortool stamp text.exe 1.0
[ $? = 1 ] && grep -q 'text.exe: not a Windows executable' err || fail "stamp on a text file: $(cat err)"
cmp -s text.exe body.txt || fail "a refused stamp changed the file"
left_behind "refusals"

# Standard output in binary: '-o -' gives the same bytes as a file; a key
# from the system's generator; the true reasons for what is no file.
"${tool[@]}" issue body.txt -o - >stdout.nfo 2>err && cmp -s stdout.nfo body.nfo ||
    fail "issue -o -: $(cat err)"
qortool keygen -o group.key && qortool keyid --key group.key || fail "keygen: $(cat err)"
qortool keygen -o absent/group.key
[ $? = 1 ] && grep -q '^qortool: absent: No such file or directory' err || fail "keygen into a missing folder: $(cat err)"
qortool stamp --show folder.exe
[ $? = 1 ] && grep -q 'folder.exe: cannot open: Is a directory' err || fail "stamp --show on a folder: $(cat err)"
qortool keyid --key folder.exe
[ $? = 2 ] && grep -q 'folder.exe: Is a directory' err || fail "--key on a folder: $(cat err)"

finish "all Windows data safety cases passed"
