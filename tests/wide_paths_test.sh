#!/bin/bash
# Releases in folders named in any language: qortool verifies, issues and
# stamps there through folder and file paths, prints the names as they are,
# and leaves no temporary file. Stamp texts are Windows-1252: a text it
# cannot hold is refused, naming the character.
# usage: wide_paths_test.sh SAMPLE_BODY [EMULATOR...] QORTOOL
set -u
source "$(dirname "$0")/fake_exe.sh"
source "$(dirname "$0")/lib.sh"
sample=$(realpath "$1")
shift
tool_and_work "$@"
qortool() { "${tool[@]}" "$@" >out.raw 2>err; local s=$?; tr -d '\r' <out.raw >out; return $s; }
folders=(Müller €uro Кириллица 中文)

for f in "${folders[@]}"; do
    mkdir "$f"
    cp "$sample" "$f/body.txt"
    fake_exe 5068 >"$f/qorcert.exe"
    qortool issue "$f/body.txt" -o "$f/qor.nfo" || fail "$f: issue: $(cat err)"
    qortool verify -q "$f" || fail "$f: the folder does not verify: $(cat err)"
    qortool verify -q "$f/qor.nfo" || fail "$f: the file does not verify: $(cat err)"
    qortool stamp "$f/qorcert.exe" "2.0-ß" || fail "$f: stamp: $(cat err)"
    [ "$(stat -c %s "$f/qorcert.exe")" = 5114 ] || fail "$f: no stamp appended"
    left=$(ls -A "$f" | grep -vxF -e body.txt -e qor.nfo -e qorcert.exe)
    [ -z "$left" ] || fail "$f: left behind: $left"
done

# Names print as they are: UTF-8 on Linux and in redirected Windows output.
qortool verify "${folders[@]}"
for f in "${folders[@]}"; do grep -qxF "$f:" out || fail "verify did not name $f: $(cat out)"; done

# The version text in Windows-1252: ß is one byte, and the stamp of a
# 29-character text with ß fits; a character outside it is refused.
fake_exe 1024 >title.exe
qortool stamp title.exe "ßßßßßßßßßßßßßßßßßßßßßßßßßßßßß" || fail "29 characters of ß: $(cat err)"
qortool stamp title.exe "2.0-ж"
[ $? = 2 ] && grep -q "'ж'" err || fail "a character outside Windows-1252: $(cat err)"
qortool stamp title.exe 1.0 "中"
[ $? = 2 ] && grep -q "second text holds '中'" err || fail "a second text outside Windows-1252: $(cat err)"

finish "all wide path cases passed"
