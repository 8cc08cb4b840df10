#!/bin/bash
# The installer under Wine, in a prefix of the test's own: a silent install
# for the current user puts every file and key where expected; each Explorer
# verb, started as Explorer starts it, opens the dialog on its folder with
# the right verdict (a folder named in Cyrillic with an emoji too); a newer
# version over an older one leaves one entry and the newer files; a silent
# uninstall removes exactly what was installed.
# usage: installer_test.sh SETUP RUN_VERB SOURCE_DIR WINE_RUN
set -u
source "$3/tests/lib.sh"
setup=$(realpath "$1") run_verb=$(realpath "$2") source_dir=$(realpath "$3") wine_run=$(realpath "$4")
work=$(mktemp -d)
prefix=$work/prefix
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1
wine() { "$wine_run" "$prefix" "$@" 2>/dev/null | tr -d '\r'; }
classes='HKCU\Software\Classes'
verb=QORCertificator.Check
entry='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\QORCertificator'
# value KEY NAME: the value as reg query prints it (/ve: the default).
value() {
    local which=(/ve)
    [ -n "${2:-}" ] && which=(/v "$2")
    wine reg query "$1" "${which[@]}" | sed -n 's/^ *[^ ]* *REG_[A-Z_]* *//p'
}
key_exists() { "$wine_run" "$prefix" reg query "$1" >/dev/null 2>&1; }

# Another program's verb, which the uninstall must leave.
wine reg add "$classes\\Directory\\shell\\OtherTool\\command" /ve /d 'other.exe "%1"' /f >/dev/null

# An older version first, with other files, then this one over it.
cp "$(dirname "$setup")/src/ui/qorcert.exe" old-qorcert.exe && printf 'old' >>old-qorcert.exe
makensis -V1 -DVERSION=0.9.0 -DPUBLISHER=QOR -DQORCERT="$work/old-qorcert.exe" \
    -DQORTOOL="$(dirname "$setup")/tools/qortool.exe" -DHERE="$(dirname "$setup")/src/ui/qorcert-here.exe" \
    -DREADME="$source_dir/README.md" -DLICENSE="$source_dir/LICENSE" -DOUTFILE="$work/old-setup.exe" \
    "$source_dir/installer/qorcert.nsi" >/dev/null || fail "the older installer did not build"
wine old-setup.exe /S
wine "$setup" /S
installed=$(find "$prefix/drive_c/users" -path '*/AppData/Local/Programs/QOR Certificator' -type d)
[ -n "$installed" ] || fail "nothing installed under %LOCALAPPDATA%\\Programs"
for f in qorcert.exe qortool.exe qorcert-here.exe README.md LICENSE.txt uninstall.exe; do
    [ -f "$installed/$f" ] || fail "$f not installed"
done
cmp -s "$installed/qorcert.exe" "$(dirname "$setup")/src/ui/qorcert.exe" || fail "the older qorcert.exe was kept"
[ "$(value "$entry" DisplayVersion)" = 1.0.0 ] || fail "the entry's version: $(value "$entry" DisplayVersion)"
[ "$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' | grep -c QORCertificator)" = 1 ] ||
    fail "more than one entry in Add/Remove Programs"
for name in DisplayName Publisher DisplayIcon EstimatedSize UninstallString QuietUninstallString NoModify NoRepair; do
    [ -n "$(value "$entry" $name)" ] || fail "the entry has no $name"
done
grep -q '/S$' <<<"$(value "$entry" QuietUninstallString)" || fail "QuietUninstallString: $(value "$entry" QuietUninstallString)"
for parent in 'Directory' 'Directory\Background' 'SystemFileAssociations\.nfo'; do
    [ "$(value "$classes\\$parent\\shell\\$verb")" = "Check QOR release" ] || fail "no verb on $parent"
    value "$classes\\$parent\\shell\\$verb\\command" | grep -q 'qorcert-here.exe" "%[1V]"$' ||
        fail "the verb's command on $parent: $(value "$classes\\$parent\\shell\\$verb\\command")"
done
[ "$(value "$classes\\SystemFileAssociations\\.nfo\\shell\\$verb" AppliesTo)" = 'System.FileName:="qor.nfo"' ] ||
    fail "the .nfo verb applies to every .nfo: $(value "$classes\\SystemFileAssociations\\.nfo\\shell\\$verb" AppliesTo)"

# Releases issued by the installed qortool: genuine, one byte changed, and
# genuine in a folder named in Cyrillic with an emoji.
mkdir -p genuine changed 'Проверка 🎉'
wine "$installed/qortool.exe" issue "$source_dir/examples/release/body.txt" -o genuine/qor.nfo
cp genuine/qor.nfo 'Проверка 🎉/qor.nfo'
cp genuine/qor.nfo changed/qor.nfo && printf X | dd of=changed/qor.nfo bs=1 seek=100 conv=notrunc 2>/dev/null
while IFS='|' read -r parent path want; do
    got=$(wine "$run_verb" "$parent" "Z:$work/$path" | sed -n 's/^button //p')
    [ "$got" = "$want" ] || fail "the verb on $parent with $path showed '$got', not '$want'"
done <<'VERBS'
Directory|genuine|Sweet!
Directory|changed|Damn!
Directory|Проверка 🎉|Sweet!
Directory\Background|genuine|Sweet!
SystemFileAssociations\.nfo|changed/qor.nfo|Damn!
SystemFileAssociations\.nfo|Проверка 🎉/qor.nfo|Sweet!
VERBS

# A file the user put there stays; the uninstaller goes on from a copy and
# returns at once, so the test waits for its files to go.
echo mine >"$installed/notes.txt"
wine "$installed/uninstall.exe" /S
for i in $(seq 60); do [ -e "$installed/qorcert.exe" ] || break; sleep 1; done
for f in qorcert.exe qortool.exe qorcert-here.exe README.md LICENSE.txt uninstall.exe; do
    [ -e "$installed/$f" ] && fail "$f left after the uninstall"
done
[ -f "$installed/notes.txt" ] || fail "the uninstall removed a file it did not write"
for key in "$entry" "$classes\\Directory\\shell\\$verb" "$classes\\Directory\\Background\\shell\\$verb" \
    "$classes\\SystemFileAssociations\\.nfo\\shell\\$verb"; do
    key_exists "$key" && fail "$key left after the uninstall"
done
[ "$(value "$classes\\Directory\\shell\\OtherTool\\command")" = 'other.exe "%1"' ] ||
    fail "the uninstall removed another program's verb"
finish "installed, checked from each verb, upgraded and uninstalled"
