#!/bin/bash
# An archive split by lists, as docs/archives.md shows for archives larger than
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

# Beyond one machine: the shards go over ssh (--sshlogin) to a real sshd on
# 127.0.0.1, started here with its own host and user keys, which sees the
# archive at the same path; the merged lines are one whole run's.
if [ "$(id -u)" = 0 ] && [ -x /usr/sbin/sshd ] && [ $# = 1 ]; then
    mkdir -p /run/sshd ssh
    ssh-keygen -q -t ed25519 -N '' -f ssh/host_key && ssh-keygen -q -t ed25519 -N '' -f ssh/user_key
    cp ssh/user_key.pub ssh/authorized_keys
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >ssh/sshd_config <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey $PWD/ssh/host_key
AuthorizedKeysFile $PWD/ssh/authorized_keys
PidFile $PWD/ssh/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
CONFIG
    /usr/sbin/sshd -f "$PWD/ssh/sshd_config" -E "$PWD/ssh/sshd.log" || fail "sshd did not start: $(cat ssh/sshd.log)"
    for i in $(seq 50); do [ -s ssh/sshd.pid ] && break; sleep 0.1; done
    ssh_command="ssh -i $PWD/ssh/user_key -p $port -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes -o LogLevel=ERROR"
    find archive -iname qor.nfo -printf '%h\0' | sort -zu |
        parallel --will-cite --ssh "$ssh_command" --sshlogin 2/root@127.0.0.1 --workdir "$PWD" \
            --pipe --recend '\0' -N 700 --keep-order \
            "${tool[*]}" verify -0 --files-from - --json >over-ssh 2>err
    status=$?
    kill "$(cat ssh/sshd.pid)" 2>/dev/null
    [ $status = 0 ] && [ "$(wc -l <over-ssh)" = 2500 ] || fail "the shards over ssh: exit $status: $(head -c 500 err)"
    "${tool[@]}" verify -r --json archive >whole 2>/dev/null
    cmp -s <(sort over-ssh) <(sort whole) || fail "the shards over ssh and one whole run disagree"
    grep -q 'Accepted publickey for root from 127.0.0.1' ssh/sshd.log || fail "no shard went over ssh: $(cat ssh/sshd.log)"
else
    echo "note: not root, no sshd or an emulator: the shards over ssh are left out"
fi

finish "the sharded run agrees with one run"
