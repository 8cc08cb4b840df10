#!/bin/bash
# Stamps executables that other programs made: the certificator as this
# build linked it, a MinGW program with the linker's time stamp (stripped,
# and with its symbol and string tables), and the programs and libraries
# that Wine ships. Each is stamped, read back, and keeps every byte before
# its stamp. Damaged headers are made by changing one field of a real
# executable at its true offset.
# usage: real_exe_test.sh QORCERT|none [EMULATOR...] QORTOOL
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
qorcert=$1
shift
[ "$qorcert" = none ] || qorcert=$(realpath "$qorcert")
tool_and_work "$@"
emulated=no
[ $# -gt 1 ] && emulated=yes

# le_at FILE OFFSET BYTES [N]: the little-endian number of BYTES bytes at
# OFFSET; put_le_at FILE OFFSET BYTES VALUE writes one there.
le_at() { od -An -tu"$3" -j"$2" -N"$3" "$1" | tr -d ' '; }
put_le_at() {
    local i bytes=
    for ((i = 0; i < $3; i++)); do bytes+=$(printf '\\x%02x' $(($4 >> 8 * i & 255))); done
    printf "$bytes" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

# stamped_back FILE: a copy of FILE stamped, read back and compared. A
# stamp it already carries (the certificator's build stamps its version) is
# replaced.
stamped_back() {
    local size keep
    cp "$1" x.exe && size=$(stat -c %s x.exe) && keep=$size
    "${tool[@]}" stamp --show x.exe >/dev/null 2>&1 && keep=$((size - 46))
    "${tool[@]}" stamp x.exe 1.2.3 Real 2>err ||
        { fail "stamp $1: $(tr -d '\r' <err)"; return; }
    shown "stamp --show x.exe" "$(printf 'version: 1.2.3\nsecond: Real')" ||
        fail "stamp --show $1 does not read back the stamp: $(cat shown)"
    [ "$(stat -c %s x.exe)" = $((keep + 46)) ] && cmp -s -n "$keep" "$1" x.exe ||
        fail "stamp $1 did not keep the bytes before the stamp"
}

# shown "ARGS" WANT: whether the tool prints WANT for ARGS. Under Wine, a
# loaded machine has been seen to abort the Linux side of a Windows
# program as it exits ("Inconsistency detected by ld.so"), its output
# lost: a second try tells that apart from a wrong stamp.
shown() {
    local try
    for try in 1 2; do
        # shellcheck disable=SC2086
        "${tool[@]}" $1 2>/dev/null | tr -d "\r" >shown
        [ "$(cat shown)" = "$2" ] && return 0
        [ $windows = yes ] || return 1
    done
    return 1
}

files=()
[ "$qorcert" = none ] || files+=("$qorcert")

# A program as MinGW links it by default: the COFF header holds a time
# stamp, and an unstripped build keeps its symbol and string tables after
# the last section.
if command -v x86_64-w64-mingw32-gcc >/dev/null; then
    printf 'int main(void) { return 0; }\n' >m.c
    x86_64-w64-mingw32-gcc -O2 m.c -o unstripped.exe && x86_64-w64-mingw32-gcc -O2 -s m.c -o stripped.exe ||
        fail "MinGW could not build the test programs"
    coff=$(($(le_at stripped.exe 60 4) + 4))
    [ "$(le_at stripped.exe $((coff + 4)) 4)" != 0 ] || fail "stripped.exe carries no time stamp"
    [ "$(le_at unstripped.exe $((coff + 8)) 4)" != 0 ] || fail "unstripped.exe carries no symbol table"
    files+=(stripped.exe unstripped.exe)
else
    echo "note: no MinGW compiler, so no MinGW-built program is stamped"
fi

# Wine's own programs and libraries: every one natively, a sample under an
# emulator, where each run of the tool costs far more.
wine_dir=$(ls -d /usr/lib/*/wine/x86_64-windows 2>/dev/null | head -n 1)
if [ -n "$wine_dir" ]; then
    step=1
    [ $emulated = yes ] && step=20
    mapfile -t wine_files < <(find "$wine_dir" -maxdepth 1 -type f \( -name '*.exe' -o -name '*.dll' \) | sort)
    [ ${#wine_files[@]} -gt 100 ] || fail "only ${#wine_files[@]} programs and libraries in $wine_dir"
    for ((i = 0; i < ${#wine_files[@]}; i += step)); do files+=("${wine_files[i]}"); done
elif [ $windows = yes ]; then
    fail "Wine's x86_64-windows folder is missing"
else
    echo "note: Wine is not installed, so none of its programs is stamped"
fi
[ ${#files[@]} -gt 0 ] || fail "no executable to stamp"
for f in "${files[@]}"; do stamped_back "$f"; done
echo "stamped and read back ${#files[@]} executables"

# A stamp is replaced, not stacked.
if [ -f stripped.exe ]; then
    cp stripped.exe again.exe
    "${tool[@]}" stamp again.exe 1.0 && "${tool[@]}" stamp again.exe 2.0 ||
        fail "stamping a stamped program failed"
    [ "$(stat -c %s again.exe)" = $(($(stat -c %s stripped.exe) + 46)) ] &&
        [ "$("${tool[@]}" stamp --show again.exe | tr -d '\r')" = "version: 2.0" ] ||
        fail "a second stamp did not replace the first"
fi

# Damaged headers: each refused with its true reason and left as it was;
# --force stamps it all the same.
if [ -f unstripped.exe ]; then
    optional_size=$(le_at unstripped.exe $((coff + 16)) 2)
    first_section=$((coff + 20 + optional_size))
    while IFS='|' read -r name want; do
        case $name in
        raw-size) cp stripped.exe $name.exe && put_le_at $name.exe $((first_section + 16)) 4 $((256 << 20)) ;;
        cut-short) cp stripped.exe $name.exe && truncate -s $(($(stat -c %s stripped.exe) / 2)) $name.exe ;;
        sections) cp stripped.exe $name.exe && put_le_at $name.exe $((coff + 2)) 2 0xffff ;;
        symbols) cp unstripped.exe $name.exe && put_le_at $name.exe $((coff + 12)) 4 0x10000000 ;;
        symbols-moved) cp stripped.exe $name.exe && put_le_at $name.exe $((coff + 8)) 4 $((1 << 30)) ;;
        headers) cp stripped.exe $name.exe &&
            put_le_at $name.exe $((coff + 20 + 60)) 4 $(($(stat -c %s stripped.exe) + 1)) ;;
        esac
        cp $name.exe $name.orig
        "${tool[@]}" stamp $name.exe 1.0 2>err.raw
        status=$?
        tr -d '\r' <err.raw >err
        [ $status = 1 ] && [ "$(cat err)" = "qortool: $name.exe: damaged: $want; --force stamps it all the same" ] ||
            fail "stamp $name.exe: exit $status: $(cat err)"
        cmp -s $name.exe $name.orig || fail "stamp $name.exe changed the file"
        "${tool[@]}" stamp --force $name.exe 1.0 2>err && "${tool[@]}" stamp --show $name.exe >/dev/null ||
            fail "stamp --force $name.exe: $(cat err)"
    done <<'DAMAGE'
raw-size|a section's data runs past the end of the file
cut-short|a section's data runs past the end of the file
sections|its section table runs past the end of the file
symbols|its symbol table runs past the end of the file
symbols-moved|its symbol table runs past the end of the file
headers|its headers are larger than the file
DAMAGE
fi
# Signed after stamping, as a group signs: the stamp is read in front of
# the signature and the zeros that padded the file; stamping a signed file
# is refused and leaves it as it was, and --force removes the signature so
# that the file can be signed again.
if [ -f stripped.exe ] && command -v osslsigncode >/dev/null; then
    cp stripped.exe presigned.exe
    "${tool[@]}" stamp presigned.exe 2.0 Signed || fail "stamp before signing"
    [ $(($(stat -c %s presigned.exe) % 8)) != 0 ] || fail "presigned.exe needs no padding: no case"
    "$here/sign-for-test" presigned.exe signed.exe || fail "osslsigncode refused the stamped file"
    [ "$("${tool[@]}" stamp --show signed.exe | tr -d '\r')" = "$(printf 'version: 2.0\nsecond: Signed')" ] ||
        fail "stamp --show of a signed file"
    cp signed.exe signed.orig
    "${tool[@]}" stamp signed.exe 3.0 2>err.raw
    status=$?
    tr -d '\r' <err.raw >err
    [ $status = 1 ] && grep -q 'signed.exe: signed: a stamp after the signature would break it, so stamp before signing' err ||
        fail "stamp of a signed file: exit $status: $(cat err)"
    cmp -s signed.exe signed.orig || fail "a refused stamp changed the signed file"
    "${tool[@]}" stamp --force signed.exe 3.0 2>err.raw || fail "stamp --force of a signed file"
    grep -q 'its signature is removed' err.raw || fail "stamp --force said nothing of the signature: $(cat err.raw)"
    [ "$(stat -c %s signed.exe)" = "$(stat -c %s presigned.exe)" ] || fail "the signature was not removed whole"
    "$here/sign-for-test" signed.exe resigned.exe || fail "the file cannot be signed again"
    [ "$("${tool[@]}" stamp --show resigned.exe | tr -d '\r')" = "version: 3.0" ] || fail "the stamp after signing again"
fi
finish "real executables stamped and read back; damaged ones refused"
