#!/bin/bash
# The golden answer: issuing the sample body under the project's key must give
# the stored information file byte for byte, and the stored file must verify.
# Issuer and verifier share their code, so only a stored answer catches a
# change that shifts both alike.
# usage: golden_test.sh GOLDEN SAMPLE_BODY [EMULATOR...] QORTOOL
set -u
source "$(dirname "$0")/lib.sh"
golden=$(realpath "$1") sample=$(realpath "$2")
shift 2
tool_and_work "$@"
cp "$sample" body.txt && cp "$golden" golden.nfo

run 0 issue body.txt -o fresh.nfo
cmp fresh.nfo golden.nfo || fail "a fresh issue differs from the stored information file"
run 0 verify -q golden.nfo

finish "the golden information file matches"
