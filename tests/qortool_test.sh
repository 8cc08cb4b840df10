#!/bin/bash
# qortool end to end: issue and verify round trips, refusals, usage errors.
# usage: qortool_test.sh SAMPLE_BODY KEY_CHECKER [EMULATOR...] QORTOOL
# With an emulator (Wine), the tool sees only relative paths.
set -u
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/fake_exe.sh"
sample=$(realpath "$1") key_checker=$(realpath "$2")
shift 2
tool_and_work "$@"
cp "$sample" sample.txt
qortool() { "${tool[@]}" "$@"; }
# expect STATUS COMMAND...: runs the command, requires its exit status.
expect() {
    local want=$1; shift
    "$@" >out.raw 2>err
    local got=$?
    tr -d '\r' <out.raw >out  # Windows writes CR LF
    [ "$got" = "$want" ] || fail "$* exited $got, expected $want: $(cat err)"
}
# body N: N bytes of printable text with CR LF line ends.
body() { yes 'The quick brown fox jumps over the lazy dog, again and again.' | sed 's/$/\r/' | head -c "$1"; }

# Round trips around each padding rule: the size floor (5939 bytes of content
# make 6000) and the trailer's marker crossing a 1024-byte read (content
# length % 1024 from 982 to 1023, sizes % 1024 from 19 to 60).
for n in 0 1 5938 5939 7125 7126 7150 7167 7168; do
    body $n >body.$n
    expect 0 qortool issue body.$n -o $n.nfo
    padded=no; grep -q 'padded' err && padded=yes
    case $n in 5939|7125|7168) want=no ;; *) want=yes ;; esac
    [ $padded = $want ] || fail "content of $n bytes: padding reported: $padded, expected $want"
    size=$(stat -c %s $n.nfo)
    [ "$size" -ge 6000 ] || fail "content of $n bytes gave $size bytes"
    cmp -s -n $n body.$n $n.nfo || fail "content of $n bytes not kept at the start"
    expect 0 qortool verify $n.nfo
done

# The same body issues to the same bytes, from a file or standard input.
expect 0 qortool issue - -o stdin.nfo <body.7125
cmp -s stdin.nfo 7125.nfo || fail "issuing from standard input gave other bytes"

# Any changed byte of the content, or of the code, fails verification.
cp 7125.nfo changed.nfo && printf 'X' | dd of=changed.nfo bs=1 seek=3000 conv=notrunc 2>/dev/null
expect 1 qortool verify changed.nfo
grep -q 'Verifying QOR authentication information... failed.' out || fail "a changed byte did not fail the last stage"
size=$(stat -c %s 7125.nfo)
cp 7125.nfo recoded.nfo
code=$(tail -c 18 recoded.nfo | head -c 16)
other=$( [ "${code:0:1}" = 2 ] && echo 3 || echo 2 )
printf '%s' "$other" | dd of=recoded.nfo bs=1 seek=$((size - 18)) conv=notrunc 2>/dev/null
expect 1 qortool verify recoded.nfo

# Zero bytes in the content verify as they were issued.
{ head -c 3000 /dev/zero; body 4000; } >zeros.body
expect 0 qortool issue zeros.body -o zeros.nfo
expect 0 qortool verify zeros.nfo

# An existing file is kept unless --force; a content that holds the marker
# where the scan stops first is refused and writes nothing.
echo keep >kept.nfo
expect 1 qortool issue body.7125 -o kept.nfo
grep -q 'already exists' err || fail "no message for an existing OUT"
[ "$(cat kept.nfo)" = keep ] || fail "an existing OUT was overwritten"
expect 0 qortool issue body.7125 -o kept.nfo --force
cmp -s kept.nfo 7125.nfo || fail "--force did not replace OUT"
{ body 100; printf 'QOR Authenticity Verification Information: '; body 7000; } >marked.body
expect 1 qortool issue marked.body -o marked.nfo
grep -q 'holds the marker text at offset 100' err || fail "no message for a marker in the content: $(cat err)"
[ ! -e marked.nfo ] || fail "a refused issue left a file"
ls | grep -q tmp && fail "a temporary file was left behind"
expect 1 qortool issue missing.body -o missing.nfo
grep -q 'missing.body: cannot open' err || fail "no message for a missing BODY"

# verify prints the dialog's texts, finds a folder's qor.nfo in any letter
# case, heads blocks by path when there are several, and -q prints nothing.
mkdir -p release upper empty
expect 0 qortool issue sample.txt -o release/qor.nfo
cp release/qor.nfo upper/QOR.NFO
expect 0 qortool verify release
printf '%s\n' "Checking for presence of QOR.NFO... passed." "Checking length of QOR.NFO... passed." \
    "Searching for QOR marker... passed." "Retrieving QOR authentication information... passed." \
    "Verifying QOR authentication information... passed." "This is a certified genuine QOR release." \
    "Thankyou for supporting QOR!" >genuine.txt
cmp -s out genuine.txt || fail "verify printed: $(cat out)"
(cd release && expect 0 qortool verify)
expect 0 qortool verify upper
expect 1 qortool verify empty release
grep -q '^empty:$' out && grep -q '^release:$' out || fail "blocks not headed by their paths: $(cat out)"
grep -q 'Checking for presence of QOR.NFO... failed.' out || fail "a missing file did not fail presence"
[ "$(grep -c 'This is a certified genuine QOR release.' out)" = 1 ] || fail "one bad path stopped the others"
expect 1 qortool verify -q changed.nfo
[ ! -s out ] || fail "-q printed output"

# stamp appends a stamp once and replaces it after that, keeping the mode.
body 5000 >text && fake_exe 5000 text >program.exe && chmod 755 program.exe && cp program.exe plain.exe
expect 0 qortool stamp program.exe 1.0.0 build7
cp program.exe once.exe
expect 0 qortool stamp program.exe 2.0.0
expect 0 qortool stamp program.exe 1.0.0 build7
cmp -s program.exe once.exe || fail "stamping again did not replace the stamp"
[ "$(stat -c %s program.exe)" = 5046 ] || fail "a stamp is not 46 bytes"
cmp -s -n 5000 program.exe plain.exe || fail "stamp changed the program's bytes"
[ -x program.exe ] || fail "stamp lost the executable mode"
expect 2 qortool stamp program.exe 123456789012345678901234567890
expect 2 qortool stamp program.exe 1.0 12345678901
cmp -s program.exe once.exe || fail "a refused stamp changed the file"
expect 0 qortool stamp program.exe 12345678901234567890123456789 1234567890
expect 1 qortool stamp absent.exe 1.0
grep -q 'absent.exe: cannot stamp: No such file' err || fail "no message for a missing EXE"

# Usage errors exit 2; --help exits 0.
expect 2 qortool
expect 2 qortool frobnicate
expect 2 qortool verify -x
expect 2 qortool issue body.0
expect 2 qortool keygen extra
for command in verify issue stamp keygen; do expect 0 qortool $command --help; done

# keygen writes key files that the build accepts, different every time.
expect 0 qortool keygen -o one.key
expect 0 qortool keygen -o two.key
expect 1 qortool keygen -o one.key
cmp -s one.key two.key && fail "two keygen runs gave the same key"
for key in one.key two.key; do expect 0 cmake -DQOR_CHECK_KEY_FILE=$key -DOUT=$key.cpp -P "$key_checker"; done

finish "all qortool checks passed"
