#!/bin/bash
# An archive split by lists, as the README shows for archives larger than
# one machine checks in a day: release folders found by find, cut into
# shards of 1000 by GNU parallel, each shard checked by its own qortool,
# the JSON lines merged and the exit statuses combined, so that one release
# NOT genuine anywhere fails the whole run.
# usage: sharded_test.sh SAMPLE_BODY [EMULATOR...] QORTOOL
set -u
source "$(dirname "$0")/lib.sh"
sample=$(realpath "$1")
shift
tool_and_work "$@"

"${tool[@]}" issue "$sample" -o good.nfo 2>/dev/null
# 2500 releases in three levels, so the shards cut across folders.
python3 -c '
import os
good = open("good.nfo", "rb").read()
for i in range(2500):
    folder = f"archive/{i // 500}/{i // 50}/r{i}"
    os.makedirs(folder)
    open(folder + "/qor.nfo", "wb").write(good)
'
{ head -c 100 good.nfo; printf X; tail -c +102 good.nfo; } >archive/2/24/r1234/qor.nfo
cp good.nfo archive/4/40/r2000/QOR.NFO # two files that differ in letter case

# sharded [SHARD]: the README's command, its merged JSON in `merged`.
sharded() {
    find archive -iname qor.nfo -printf '%h\0' | sort -zu |
        parallel --will-cite --pipe --recend '\0' -N "${1:-1000}" --keep-order \
            "${tool[*]}" verify -0 --files-from - --json >merged 2>err
}
sharded
status=$?
[ $status != 0 ] || fail "a tampered and an ambiguous release, yet the sharded run succeeded"
python3 - <<'PY' || fail "the merged JSON lines: $(head -c 300 merged)"
import json
rows = [json.loads(line) for line in open("merged", "rb").read().decode("utf-8").splitlines()]
assert len(rows) == 2500, len(rows)
assert len({r["path"] for r in rows}) == 2500
bad = sorted(r["path"] for r in rows if not r["genuine"])
assert bad == ["archive/2/24/r1234", "archive/4/40/r2000"], bad
PY
# The same verdicts as one run over the whole archive.
"${tool[@]}" verify -r --json archive >whole 2>/dev/null
cmp -s <(sort merged) <(sort whole) || fail "the shards and one whole run disagree"

# Made whole again, every shard succeeds, and so does the run.
cp good.nfo archive/2/24/r1234/qor.nfo && rm archive/4/40/r2000/QOR.NFO
sharded 700
[ $? = 0 ] && [ "$(wc -l <merged)" = 2500 ] || fail "a genuine archive, sharded: $(cat err)"

finish "the sharded run agrees with one run"
