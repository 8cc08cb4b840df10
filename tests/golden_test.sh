#!/bin/bash
# The golden answer: issuing the sample body under the project's key must give
# the stored information file byte for byte, and the stored file must verify.
# Issuer and verifier share their code, so only a stored answer catches a
# change that shifts both alike.
# usage: golden_test.sh GOLDEN SAMPLE_BODY [EMULATOR...] QORTOOL
set -u
golden=$(realpath "$1") sample=$(realpath "$2")
shift 2
tool=("${@:1:$#-1}" "$(realpath "${!#}")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$sample" body.txt && cp "$golden" golden.nfo
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"${tool[@]}" issue body.txt -o fresh.nfo 2>err || fail "issue failed: $(cat err)"
cmp fresh.nfo golden.nfo || fail "a fresh issue differs from the stored information file"
"${tool[@]}" verify -q golden.nfo || fail "the stored information file does not verify"

[ $failures = 0 ] && echo "the golden information file matches"
exit $((failures > 0))
