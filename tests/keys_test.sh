#!/bin/bash
# A publishing group's workflow with keys chosen at run time: keygen, issue
# and verify under --key, key ids, re-issuing, stamps read back, and the key
# file parser of qortool held against the build's on one table of files.
# usage: keys_test.sh SOURCE_DIR [EMULATOR...] QORTOOL
set -u
source_dir=$(realpath "$1")
shift
source "$source_dir/tests/fake_exe.sh"
source "$source_dir/tests/lib.sh"
tool_and_work "$@"
cp "$source_dir/examples/release/body.txt" body.txt
cp "$source_dir/keys/default.key" project.key

# Key ids: stable, the same as keygen and --version say, different per key.
run 0 keygen -o group.key
group_id=$(sed -n 's/^qortool: key id //p' err)
run 0 keyid --key group.key
[ -n "$group_id" ] && [ "$(cat out)" = "$group_id" ] || fail "keyid $(cat out), keygen said $group_id"
run 0 keyid --key group.key
[ "$(cat out)" = "$group_id" ] || fail "the key id changed from one run to the next"
run 0 keyid
build_id=$(cat out)
run 0 --version
grep -qx "key id $build_id" out || fail "--version: $(cat out)"
[ "$group_id" != "$build_id" ] || fail "two keys with one id"
sed 's/^stamp_mask .*/stamp_mask 0x5a/' group.key >masked.key
[ "$(grep stamp_mask group.key)" != 'stamp_mask 0x5a' ] || sed -i 's/^stamp_mask .*/stamp_mask 0x5b/' masked.key
run 0 keyid --key masked.key
[ "$(cat out)" != "$group_id" ] || fail "keys that differ in the stamp mask only have one id"

# Issued under the group's key: genuine under it, not under the build's.
run 0 issue --key group.key body.txt -o group.nfo
run 0 verify -q --key group.key group.nfo
run 1 verify -q group.nfo
run 0 verify --brief --key project.key --key group.key group.nfo
grep -qx "group.nfo: genuine (key $group_id)" out || fail "several keys: $(cat out)"
run 0 issue body.txt -o build.nfo
run 1 verify --brief --key group.key --key masked.key build.nfo
grep -q 'fits none of the given keys' out || fail "no key fits: $(cat out)"

# Re-issuing: an issued file gives itself again; an edited one becomes
# genuine; without --reissue the trailer is refused, with a hint.
run 0 issue --reissue build.nfo -o again.nfo
cmp -s again.nfo build.nfo || fail "re-issuing an issued file changed it"
{ head -c 200 build.nfo; printf 'an edited line\r\n'; tail -c +201 build.nfo; } >edited.nfo
run 0 issue --reissue edited.nfo -o edited-again.nfo
run 0 verify -q edited-again.nfo
[ "$(head -c 215 edited-again.nfo | tail -c 15)" = "$(printf 'an edited line\r')" ] ||
    fail "the edit was not kept"
run 1 issue edited.nfo -o refused.nfo
grep -q 'which --reissue replaces' err || fail "no hint at --reissue: $(cat err)"
{ head -c 300 build.nfo; tail -c 61 build.nfo; head -c 300 build.nfo; } >inner.nfo
run 1 issue --reissue inner.nfo -o inner-again.nfo
grep -q 'holds the marker text at offset 300' err || fail "an inner marker with --reissue: $(cat err)"

# Stamps read back, under the key that made them; a foreign stamp is data
# after the last section and is not stamped over unless --force is given.
fake_exe 4096 >plain.exe
run 1 stamp --show plain.exe
grep -q 'no stamp of this key' err || fail "--show on an unstamped file: $(cat err)"
cp plain.exe ours.exe
run 0 stamp ours.exe "2.0-ß" build7
run 0 stamp --show ours.exe
[ "$(cat out)" = "$(printf 'version: 2.0-ß\nsecond: build7')" ] || fail "--show printed: $(cat out)"
cp plain.exe theirs.exe
run 0 stamp --key group.key theirs.exe 9.9
run 1 stamp --show theirs.exe
run 0 stamp --show --key group.key theirs.exe
grep -qx 'version: 9.9' out || fail "--show --key: $(cat out)"
cp theirs.exe theirs.orig
run 1 stamp theirs.exe 1.0
grep -q 'holds 46 bytes after its last section' err || fail "a foreign stamp: $(cat err)"
cmp -s theirs.exe theirs.orig || fail "a refused stamp changed the file"
run 0 stamp --force theirs.exe 1.0
[ "$(stat -c %s theirs.exe)" = $((4096 + 92)) ] || fail "--force did not append a second stamp"

# A key that never touches the disk: through standard input (both
# platforms) and, on Linux, a pipe, a descriptor, a process substitution,
# a named FIFO with its writer and a socket, it issues and stamps exactly
# as the same key in a file. Standard input cannot be the key and the body.
run 0 issue --key group.key body.txt -o from-file.nfo
cp plain.exe from-file.exe && run 0 stamp --key group.key from-file.exe 4.2
"${tool[@]}" issue --key - body.txt -o from-stdin.nfo <group.key && cmp -s from-stdin.nfo from-file.nfo ||
    fail "--key - issued otherwise"
cp plain.exe from-stdin.exe
"${tool[@]}" stamp --key - from-stdin.exe 4.2 <group.key && cmp -s from-stdin.exe from-file.exe ||
    fail "--key - stamped otherwise"
"${tool[@]}" issue --key - - -o both.nfo <group.key 2>err
[ $? = 2 ] && grep -q 'cannot both be standard input' err && [ ! -e both.nfo ] || fail "--key - with BODY -: $(cat err)"
if [ $windows = no ]; then
    mkfifo key.fifo
    for source in '/dev/stdin <group.key' '/dev/fd/3 3<group.key' '<(cat group.key)' 'key.fifo' 'socket'; do
        rm -f piped.nfo
        case $source in
        key.fifo) cat group.key >key.fifo & "${tool[@]}" issue --key key.fifo body.txt -o piped.nfo ;;
        socket) python3 -c 'import socket, subprocess, sys
a, b = socket.socketpair(); a.sendall(open("group.key", "rb").read()); a.close()
sys.exit(subprocess.run(sys.argv[1:] + ["issue", "--key", "/dev/fd/%d" % b.fileno(), "body.txt", "-o", "piped.nfo"],
                        pass_fds=[b.fileno()]).returncode)' "${tool[@]}" ;;
        *) eval '"${tool[@]}" issue --key '"$source"' body.txt -o piped.nfo' ;;
        esac
        cmp -s piped.nfo from-file.nfo || fail "--key $source issued otherwise"
    done
    wait
fi

# The two key file parsers, the build's and qortool's, on one table (files
# made from the project's key by sed): each
# good file is taken by both, each malformed one refused by both with the
# same message.
checker="$source_dir/cmake/KeyMaterial.cmake"
key_table() { # NAME SED-SCRIPT EXPECTED-MESSAGE (none: a good file)
    printf '%s\t%s\t%s\n' "$@"
}
{
    key_table default "" ""
    key_table comments 's/^steps/# a comment\n\n  steps/' ""
    key_table crlf 's/$/\r/' ""
    key_table upper-hex 's/0x\([0-9a-f]*\)/0x0000\U\1/' ""
    key_table wide 's/^stamp_mask .*/stamp_mask 0x100/' "'0x100' in 'stamp_mask' does not fit in 8 bits"
    key_table decimal 's/^acc13_constant .*/acc13_constant 12345/' "'12345' in 'acc13_constant' is not a hexadecimal value with a 0x prefix"
    key_table short 's/^chaining 0x[0-9a-f]* /chaining /' "'chaining' needs 4 values, has 3"
    key_table zero 's/^stamp_signature 0x[0-9a-f]*/stamp_signature 0x00/' "'stamp_signature' must hold no zero byte"
    key_table unknown '$a salt 0x01' "unknown field 'salt'"
    key_table twice '$a stamp_mask 0x01' "field 'stamp_mask' given twice (first on line"
    key_table semicolon 's/^stamp_addend \(.*\)/stamp_addend \1;0x01/' "';' is not allowed in a key file"
    key_table missing '/^steps/d' "field 'steps' is missing"
    key_table bom '1s/^/\xef\xbb\xbf/' ""
    key_table large '$r filler.txt' "larger than 65536 bytes: not a key file"
} >table
yes '# a comment line that makes the file larger than a key file ever is' | head -c 70000 >filler.txt
while IFS=$'\t' read -r name script expected; do
    sed "$script" project.key >"$name.key"
    cmake -DQOR_CHECK_KEY_FILE="$name.key" -DOUT="$name.cpp" -P "$checker" >/dev/null 2>cmake.err
    cmake_status=$?
    build_says=$(tr '\n' ' ' <cmake.err | tr -s ' ' |
        sed -n 's/.*(message): \(.*\) Call Stack.*/\1/p')
    "${tool[@]}" keyid --key "$name.key" >/dev/null 2>tool.err
    tool_status=$?
    tool_says=$(tr -d '\r' <tool.err | sed 's/^qortool: //')
    if [ -z "$expected" ]; then
        [ $cmake_status = 0 ] && [ $tool_status = 0 ] ||
            fail "$name: a good key file was refused: build: $(cat cmake.err) qortool: $tool_says"
    else
        [ $cmake_status != 0 ] && [ $tool_status = 2 ] || fail "$name: a malformed key file was taken"
        [ "$build_says" = "$tool_says" ] || fail "$name: the parsers disagree: '$build_says' / '$tool_says'"
        case "$tool_says" in *"$expected"*) ;; *) fail "$name: '$tool_says' lacks '$expected'" ;; esac
    fi
done <table
# A key file that is not there, and a folder.
for name in absent.key folder.key; do
    [ $name = folder.key ] && mkdir folder.key
    cmake -DQOR_CHECK_KEY_FILE="$name" -P "$checker" >/dev/null 2>cmake.err
    build_says=$(tr '\n' ' ' <cmake.err | tr -s ' ' | sed -n 's/.*(message): \(.*\) Call Stack.*/\1/p')
    "${tool[@]}" keyid --key "$name" >/dev/null 2>tool.err
    tool_says=$(tr -d '\r' <tool.err | sed 's/^qortool: //')
    [ "$build_says" = "$tool_says" ] && [ -n "$tool_says" ] ||
        fail "$name: the parsers disagree: '$build_says' / '$tool_says'"
done

finish "all key cases passed"
