#!/usr/bin/env python3
"""qortool verify against an archive that hostile users fill and name.

Every output is read back as a program would read it: --brief parsed and
unescaped, every --json line decoded strictly from its bytes. No name may
forge another release's line, and nothing that cannot be checked may pass
in silence.

usage: hostile_names_test.py FIELDS_PAGE SAMPLE_BODY [EMULATOR...] QORTOOL
For Windows (under Wine) the names are those Windows allows, and the cases
that need Linux are left out.
"""
import json
import os
import re
import subprocess
import sys
import tempfile

fields_page, sample = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
tool = sys.argv[3:-1] + [os.path.realpath(sys.argv[-1])]
windows = tool[-1].endswith(".exe")
sep = b"\\" if windows else b"/"
failures = []


def fail(message):
    failures.append(message)
    print("FAIL:", message)


def run(*args, stdin=None, as_nobody=False, stdout=subprocess.PIPE):
    """Runs the tool; stdout and stderr as bytes, Windows' CR LF made LF."""
    prefix = []
    if as_nobody:
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    p = subprocess.run(prefix + tool + list(args), input=stdin, stdout=stdout,
                       stderr=subprocess.PIPE, timeout=300)
    out = (p.stdout or b"").replace(b"\r\n", b"\n")
    return p.returncode, out, p.stderr.replace(b"\r\n", b"\n")


def unescape(name):
    """A name as the tool prints it, back to its bytes."""
    if not name.startswith(b"\\"):
        return name
    out, i = bytearray(), 1
    while i < len(name):
        c = name[i:i + 1]
        if c != b"\\":
            out += c
            i += 1
            continue
        kind = name[i + 1:i + 2]
        if kind == b"x":
            out.append(int(name[i + 2:i + 4], 16))
            i += 4
        else:
            out += {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}[kind]
            i += 2
    return bytes(out)


BRIEF = re.compile(rb"^(.*): (genuine|NOT genuine \(.*\)|not checked \(.*\))$")


def parse_brief(out):
    """{name: verdict word} from --brief output, one line per entry."""
    rows = {}
    for line in out.split(b"\n")[:-1]:
        m = BRIEF.match(line)
        if not m:
            fail(f"not a --brief line: {line!r}")
            continue
        name = unescape(m.group(1))
        if name in rows:
            fail(f"{name!r} printed twice")
        rows[name] = m.group(2).split(b" (")[0].decode()
    return rows


def json_rows(out):
    """Each line decoded strictly: UTF-8, then JSON."""
    rows = []
    for line in out.split(b"\n")[:-1]:
        try:
            rows.append(json.loads(line.decode("utf-8", "strict")))
        except ValueError as e:
            fail(f"invalid JSON line {line!r}: {e}")
    return rows


def path_of(row):
    return bytes.fromhex(row["path_bytes"]) if row["path_bytes"] else row["path"].encode()


os.chdir(tempfile.mkdtemp())
os.chmod(".", 0o755)
open("body.txt", "wb").write(open(sample, "rb").read())  # Wine sees relative paths only
subprocess.run(tool + ["issue", "body.txt", "-o", "good.nfo"], check=True, stderr=subprocess.DEVNULL)
good = open("good.nfo", "rb").read()
tampered = good[:100] + b"X" + good[101:]

# The archive: every name holds a release, genuine or tampered. Where a name
# could pass for another, the two differ in their verdicts.
if windows:
    names = {b"plain": True, b"ends in a dot.": True, b"ends in a blank ": False,
             "кириллица".encode(): True, b"a\\b": False}
else:
    names = {
        b"victim": False, b"x\narc/victim": True, b"y\rarc/victim": True,
        b"literal\\n": True, b"literal\n": False, b"back\\slash": True,
        b"\\leading": True, b"ctl\x01\x1b[2J": True, b"del\x7f": True,
        b"c1\xc2\x9b": True, b"caf\xe9": True, b"caf\xc3\xa9": False,
        b"overlong\xc0\xaf": True, b"surrogate\xed\xa0\x80": False,
        b"max\xf4\x90\x80\x80": True, b"cut\xe2\x82": False,
    }
    # Every one-byte name, genuine and tampered in turn.
    for b in range(1, 256):
        if b not in b"/.":
            names[bytes([b])] = b % 2 == 0
expected = {}
for name, genuine in names.items():
    parts = [p for p in name.split(b"\\")] if windows else [name]
    folder = os.path.join(b"arc", *parts)
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, b"qor.nfo"), "wb").write(good if genuine else tampered)
    expected[sep.join([b"arc"] + parts)] = "genuine" if genuine else "NOT genuine"
# A folder that holds releases is walked after its own: a\b in Windows'
# names is arc\a, then arc\a\b.
if windows:
    expected[b"arc\\a"] = "genuine"
    open("arc/a/qor.nfo", "wb").write(good)

for jobs in ("1", "3"):
    status, out, err = run("verify", "-r", "--brief", "-j", jobs, "arc")
    got = parse_brief(out)
    if got != expected:
        wrong = {k: (got.get(k), v) for k, v in expected.items() if got.get(k) != v}
        extra = set(got) - set(expected)
        fail(f"--brief -j {jobs}: wrong {wrong}, extra {extra}")
    if status != 1 or b"releases are NOT genuine" not in err:
        fail(f"--brief -j {jobs}: exit {status}, {err!r}")

# Blocks: each headed by one line that names its release.
status, out, err = run("verify", "-r", "arc")
blocks = out.split(b"\n\n")
headers = {unescape(b.split(b"\n")[0][:-1]): b for b in blocks}
if len(blocks) != len(expected) or set(headers) != set(expected):
    fail(f"blocks: {len(blocks)} blocks, headers {set(headers) ^ set(expected)}")
for name, verdict in expected.items():
    block = headers.get(name, b"")
    if (b"This is a certified genuine" in block) != (verdict == "genuine"):
        fail(f"block of {name!r} ends wrong: {block!r}")

# JSON: strict UTF-8 everywhere, exact bytes recoverable, the README's fields.
status, out, err = run("verify", "-r", "--json", "arc")
rows = json_rows(out)
got = {path_of(r): "genuine" if r["genuine"] else "NOT genuine" for r in rows}
if got != expected or len(rows) != len(expected):
    fail(f"--json: {set(got) ^ set(expected)}")
for r in rows:
    if (r["path_bytes"] is None) != (r["path"].encode() == path_of(r)):
        fail(f"path_bytes set for a UTF-8 path or missing: {r}")
table = open(fields_page, encoding="utf-8").read().split("`--json` fields")[1]
documented = re.findall(r"^\| `(\w+)` \|", table, re.M)
if rows and list(rows[0]) != documented:
    fail(f"JSON fields {list(rows[0])}, README {documented}")

# Lists: CR LF line ends, a NUL inside a line, a line longer than any path,
# an empty list, a list that is a folder.
first = b"arc" + sep + (b"plain" if windows else b"victim")
status, out, err = run("verify", "--brief", "--files-from", "-", stdin=first + b"\r\n")
if out != first + (b": genuine\n" if windows else b": NOT genuine (" + b"Verifying QOR "
                                                   b"authentication information... failed.)\n"):
    fail(f"CR LF list: {out!r}")
# Windows reads the list in binary: Ctrl-Z ends nothing.
listed = b"arc" + sep + b"plain\n\x1a\n" if windows else b"arc/victim\n"
listed += (b"arc" + sep + b"a\x00arc" + sep + b"plain\n") if windows else b"arc/vic\x00tim\n"
listed += b"a" * 100000 + b"\n" + (b"arc\\plain\n" if windows else b"arc/\\leading\n")
status, out, err = run("verify", "--brief", "--files-from", "-", stdin=listed)
lines = out.split(b"\n")[:-1]
line_of_nul = 3 if windows else 2
if (len(lines) != (5 if windows else 4) or
        not lines[-1].endswith(b": genuine") or
        f"line {line_of_nul} of the list holds a NUL byte".encode() not in out or
        f"line {line_of_nul + 1} of the list longer than".encode() not in out or status != 1 or
        b"paths could not be checked" not in err):
    fail(f"a list with Ctrl-Z, NUL and an overlong line: {status} {out!r} {err!r}")
open("empty.list", "wb").close()
status, out, err = run("verify", "--brief", "--files-from", "empty.list")
if status != 1 or out != b"empty.list: not checked (the list names no path)\n":
    fail(f"an empty list: {status} {out!r} {err!r}")
status, out, err = run("verify", "--brief", "--files-from", "arc")
if status != 2 or b"arc: cannot open: Is a directory" not in err:
    fail(f"a folder as the list: {status} {err!r}")

# An operand without a release, and one that does not exist.
os.makedirs("empty/sub", exist_ok=True)
status, out, err = run("verify", "-r", "--brief", "empty", "arc")
if status != 1 or not out.startswith(b"empty: not checked (no release found)\n") or \
        b"1 path could not be checked" not in err:
    fail(f"an operand without a release: {status} {out!r} {err!r}")
status, out, err = run("verify", "missing")
if status != 1 or b"qortool: missing: No such file or directory" not in err:
    fail(f"blocks give the presence stage's reason: {err!r}")

# Usage errors: two formats, -0 without a list.
for args in (["--brief", "--json"], ["-q", "--json"], ["-0", "arc"]):
    status, out, err = run("verify", *args)
    if status != 2 or not err.startswith(b"qortool: "):
        fail(f"verify {args}: exit {status} {err!r}")

if not windows:
    # Output that cannot be written ends the run, whatever the workers and
    # the format.
    with open("/dev/full", "wb") as full:
        for jobs in ("1", "2", "4"):
            for fmt in ([], ["--brief"], ["--json"]):
                for operands in (["arc"], ["arc", "empty"]):
                    status, out, err = run("verify", "-r", "-j", jobs, *fmt, *operands,
                                           stdout=full)
                    if status != 2 or b"write error" not in err:
                        fail(f"-j {jobs} {fmt} {operands} >/dev/full: {status} {err!r}")

    # A tree deeper than the longest path: walked by handles, its release
    # found and named whole.
    fd = os.open(".", os.O_RDONLY)
    os.mkdir("deep")
    fd = os.open("deep", os.O_RDONLY)
    for level in range(20):
        os.mkdir("d" * 250, dir_fd=fd)
        fd = os.open("d" * 250, os.O_RDONLY, dir_fd=fd)
    with open(os.open("qor.nfo", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
        f.write(good)
    status, out, err = run("verify", "-r", "--brief", "deep")
    want = b"/".join([b"deep"] + [b"d" * 250] * 20) + b": genuine\n"
    if status != 0 or out != want:
        fail(f"a tree deeper than 4096 bytes: {status} {out[:80]!r} {err!r}")

    # Folders that may not be opened or listed are reported, named escaped,
    # and make the run fail (root reads anything: run as nobody).
    os.makedirs(b"locked/no\nentry/r", exist_ok=True)
    os.makedirs(b"locked/no list/r", exist_ok=True)
    os.makedirs(b"locked/fine", exist_ok=True)
    for folder in (b"locked/no\nentry/r", b"locked/no list/r", b"locked/fine"):
        open(folder + b"/qor.nfo", "wb").write(good)
    os.chmod(b"locked/no\nentry", 0o000)
    os.chmod(b"locked/no list", 0o311)
    status, out, err = run("verify", "-r", "--brief", "locked", as_nobody=True)
    want = (b"locked/fine: genuine\n"
            b"\\locked/no\\nentry: not checked (cannot open folder: Permission denied)\n"
            b"locked/no list: not checked (cannot open folder: Permission denied)\n")
    if status != 1 or out != want or b"2 paths could not be checked" not in err:
        fail(f"unreadable folders: {status} {out!r} {err!r}")
    for line in err.split(b"\n")[:-1]:
        if not line.startswith(b"qortool: ") or re.search(rb"[\x00-\x1f\x7f]", line):
            fail(f"a raw name on standard error: {line!r}")
    status, out, err = run("verify", "-r", "--brief", "locked/no\nentry", as_nobody=True)
    if status != 1 or out != b"\\locked/no\\nentry: not checked (cannot read folder: Permission denied)\n":
        fail(f"an operand that cannot be opened: {status} {out!r}")
    os.chmod(b"locked/no\nentry", 0o755)
    os.chmod(b"locked/no list", 0o755)

if failures:
    sys.exit(1)
print("all hostile name cases passed" + (" (Windows' names)" if windows else ""))
