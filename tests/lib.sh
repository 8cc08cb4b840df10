# Sourced by the end-to-end test scripts: the tool under test, a work folder
# of the script's own, failures counted, and a runner that checks exit
# statuses.

# tool_and_work [EMULATOR...] TOOL: sets `tool` to the command that runs the
# tool (under its emulator, if any) and `windows` to yes for a Windows tool
# (run under Wine, where the cases that need Linux are left out), and moves
# into a fresh work folder that is removed at exit.
tool_and_work() {
    tool=("${@:1:$#-1}" "$(realpath "${!#}")")
    windows=no
    [[ "${!#}" == *.exe ]] && windows=yes
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    chmod 755 "$work"
    cd "$work" || exit 1
}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run STATUS ARGS...: runs the tool and requires its exit status; `out` and
# `err` hold its output, with Windows' CRs removed and its separators made /.
run() {
    local want=$1
    shift
    "${tool[@]}" "$@" >out.raw 2>err.raw
    local got=$?
    tr -d '\r' <out.raw | tr '\\' / >out
    tr -d '\r' <err.raw | tr '\\' / >err
    [ "$got" = "$want" ] || fail "qortool $* exited $got, expected $want: $(cat err)"
}

# finish MESSAGE: prints MESSAGE when nothing failed; exits 1 when anything did.
finish() {
    [ $failures = 0 ] && echo "$1"
    exit $((failures > 0))
}
