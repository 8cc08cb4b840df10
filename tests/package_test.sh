#!/bin/bash
# What a group hands out: cmake --install puts qortool, its man page and the
# README in place, and the installed tool runs; CPack builds the .deb
# (native, lintian-clean) or the .zip (Windows) with what belongs in it.
# usage: package_test.sh BUILD_DIR deb|zip [EMULATOR...]
set -u
build=$(realpath "$1") kind=$2
shift 2
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"

if [ "$kind" = deb ]; then
    cmake --install "$build" --prefix "$work/prefix" >/dev/null || fail "cmake --install failed"
    "${emulator[@]}" "$work/prefix/bin/qortool" --version >"$work/version" ||
        fail "the installed qortool does not run"
    grep -q '^key id ' "$work/version" || fail "the installed qortool: $(cat "$work/version")"
    page=$work/prefix/share/man/man1/qortool.1.gz
    [ -f "$page" ] || fail "no man page installed"
    [ -f "$work/prefix/share/doc/qortool/README.md" ] || fail "no README installed"
    MANWIDTH=80 man --warnings -l "$page" >"$work/page" 2>"$work/warnings" || fail "man -l failed"
    [ ! -s "$work/warnings" ] || fail "the man page renders with warnings: $(cat "$work/warnings")"
    for word in verify issue stamp keygen keyid --files-from --reissue --show --key; do
        grep -q -- "$word" "$work/page" || fail "the man page does not cover $word"
    done
    for section in NAME SYNOPSIS DESCRIPTION COMMANDS "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
        grep -qx "$section" "$work/page" || fail "the man page has no $section section"
    done
fi

(cd "$build" && cpack -G "${kind^^}" -B "$work/package" >/dev/null) || fail "cpack failed"
if [ "$kind" = deb ]; then
    dpkg-deb --contents "$work"/package/qortool_*.deb | awk '{print $6}' >"$work/contents"
    want=(./usr/bin/qortool ./usr/share/man/man1/qortool.1.gz ./usr/share/doc/qortool/README.md
          ./usr/share/doc/qortool/threat-model.md ./usr/share/doc/qortool/copyright
          ./usr/share/doc/qortool/changelog.gz)
    # A package a distribution accepts: not one error, warning or pedantic
    # remark from lintian, but for what it only informs about.
    lintian --pedantic "$work"/package/qortool_*.deb >"$work/lintian" 2>&1
    grep -E '^[EWP]: ' "$work/lintian" && fail "lintian: $(cat "$work/lintian")"
    dpkg-deb --field "$work"/package/qortool_*.deb Description | grep -q "Built with the key $(
        "${emulator[@]}" "$build/tools/qortool" keyid):" || fail "the description does not name the key"
else
    unzip -Z1 "$work"/package/qorcert-*-win64.zip >"$work/contents"
    # One top-level folder, named after the package.
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    want=(qorcert.exe qortool.exe qorcert-here.exe README.md threat-model.md LICENSE)
    want=("${want[@]/#/qorcert-$version-win64/}")
fi
for file in "${want[@]}"; do
    grep -qxF "$file" "$work/contents" || fail "the package lacks $file: $(cat "$work/contents")"
done
[ "$(grep -cv '/$' "$work/contents")" = ${#want[@]} ] || fail "the package holds more: $(cat "$work/contents")"

finish "the $kind package holds what it should"
