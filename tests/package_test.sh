#!/bin/bash
# What a group hands out: cmake --install puts qortool, its man page and the
# README in place, and the installed tool runs; CPack builds the .deb
# (native, lintian-clean) or the .zip (Windows) with what belongs in it: the
# README's pages in docs/ too, so that every relative link of the README and
# of its pages resolves inside the package.
# usage: package_test.sh BUILD_DIR deb|zip [EMULATOR...]
set -u
build=$(realpath "$1") kind=$2
shift 2
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"
pages=("$(dirname "$0")"/../docs/*)
pages=("${pages[@]##*/}")

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
          ./usr/share/doc/qortool/changelog.gz "${pages[@]/#/./usr/share/doc/qortool/docs/}")
    readme=./usr/share/doc/qortool/README.md
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
    want=(qorcert.exe qortool.exe qorcert-here.exe README.md threat-model.md LICENSE
          "${pages[@]/#/docs/}")
    want=("${want[@]/#/qorcert-$version-win64/}")
    readme=qorcert-$version-win64/README.md
fi
for file in "${want[@]}"; do
    grep -qxF "$file" "$work/contents" || fail "the package lacks $file: $(cat "$work/contents")"
done
[ "$(grep -cv '/$' "$work/contents")" = ${#want[@]} ] || fail "the package holds more: $(cat "$work/contents")"
# Every relative link of the README and its pages, from where the package
# puts them, names a file the package holds.
python3 - "$work/contents" "$readme" "$(dirname "$0")/.." <<'EOF2' || fail "a link does not resolve in the package"
import os, re, sys
contents = set(open(sys.argv[1]).read().split())
readme, source = sys.argv[2], sys.argv[3]
top = os.path.dirname(readme)
pages = {readme: "README.md"}
pages.update({os.path.join(top, "docs", p): os.path.join("docs", p)
              for p in os.listdir(os.path.join(source, "docs")) if p.endswith(".md")})
bad = []
for packaged, name in pages.items():
    text = open(os.path.join(source, name), encoding="utf-8").read()
    for target in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", text):
        path = os.path.normpath(os.path.join(os.path.dirname(packaged), target))
        if path.startswith("usr/"):
            path = "./" + path
        if path not in contents:
            bad.append(f"{name}: {target}")
print("\n".join(bad))
sys.exit(1 if bad else 0)
EOF2

finish "the $kind package holds what it should"
