#!/bin/sh
# The golden recordings of tests/replay: sessions of halvoran-client with Halvoran on
# halvoran-sim, recorded, and replayed against a fresh Halvoran on a fresh simulator.
#
#   golden.sh record NAME 'CLIENT COMMANDS'   records tests/replay/NAME.mcap
#   golden.sh replay FILE [REPLAY OPTIONS]     replays FILE; the exit status is the replay's
#   golden.sh regenerate                       records every golden file again (see sessions.txt)
#   golden.sh mismatch FILE SPEED              replays FILE with its drive speeds changed to SPEED
#                                              and succeeds only when the replay reports a mismatch
#
# Halvoran takes the fixed ports 5000-5002: run it where they are free, for example in a
# network namespace of its own: unshare -rn sh -c 'ip link set lo up && tests/replay/golden.sh regenerate'
# GOLDEN_KEEP=DIR: replay also copies the replayed session's recording there.
# The programs come from build/ unless HALVORAN_BIN, HALVORAN_SIM_BIN and HALVORAN_CLIENT_BIN say.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
halvoran=${HALVORAN_BIN:-$root/build/app/halvoran}
sim=${HALVORAN_SIM_BIN:-$root/build/sim/halvoran-sim}
client=${HALVORAN_CLIENT_BIN:-$root/build/client/halvoran-client}
tool=${GOLDEN_TOOL_BIN:-$root/build/tests/golden_tool}

work=$(mktemp -d /tmp/halvoran-golden.XXXXXX)
simpid=
halpid=
cleanup() {
    [ -n "$halpid" ] && kill "$halpid" 2>/dev/null && wait "$halpid" 2>/dev/null
    [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Starts the simulator (the target straight ahead, as by default) and a recording Halvoran on it.
# The camera reports once a second: the reports are not replayed but come from the simulator, so
# a command that meets Halvoran while it serves a report could meet the next one in the replay;
# with reports this far apart that does not happen.
start() {
    mkdir -p "$work/rec"
    "$sim" --link "$work/com1" --no-com2 --seed 1 --tracking-rate 1 >"$work/sim.out" 2>&1 &
    simpid=$!
    n=0
    until grep -q '^ready' "$work/sim.out" 2>/dev/null; do
        n=$((n + 1))
        if [ $n -gt 300 ] || ! kill -0 "$simpid" 2>/dev/null; then
            echo "golden.sh: halvoran-sim did not come up" >&2
            cat "$work/sim.out" >&2
            exit 3
        fi
        sleep 0.1
    done
    HALVORAN_RECORD_DIR="$work/rec" HALVORAN_COM1="$work/com1" HALVORAN_HEADLESS=1 XDG_RUNTIME_DIR="$work" \
        "$halvoran" >"$work/halvoran.out" 2>&1 &
    halpid=$!
}

# Waits for Halvoran's end (it ends with the session) so that its recording is whole.
finish() {
    wait "$halpid" || true
    halpid=
}

case "${1:-}" in
record)
    [ $# -eq 3 ] || { echo "usage: golden.sh record NAME 'COMMANDS'" >&2; exit 2; }
    start
    "$client" --connect-timeout 10000 -c "$3"
    finish
    # Only the topics that the replay reads are kept, so that the file stays small.
    "$tool" trim "$(ls "$work"/rec/*.mcap | tail -n 1)" "$work/trimmed.mcap"
    mv "$work/trimmed.mcap" "$here/$2.mcap"
    chmod 644 "$here/$2.mcap"
    echo "recorded $here/$2.mcap ($(wc -c <"$here/$2.mcap") bytes)"
    ;;
replay)
    [ $# -ge 2 ] || { echo "usage: golden.sh replay FILE [OPTIONS]" >&2; exit 2; }
    file=$2
    shift 2
    start
    status=0
    "$client" --connect-timeout 10000 replay "$file" --record-dir "$work/rec" "$@" || status=$?
    finish
    # GOLDEN_KEEP=DIR keeps the replayed session's recording, to look into a mismatch.
    [ -z "${GOLDEN_KEEP:-}" ] || cp "$work"/rec/*.mcap "$GOLDEN_KEEP"/
    exit $status
    ;;
mismatch)
    [ $# -eq 3 ] || { echo "usage: golden.sh mismatch FILE SPEED" >&2; exit 2; }
    "$tool" speed "$2" "$work/changed.mcap" "$3"
    start
    status=0
    "$client" --connect-timeout 10000 replay "$work/changed.mcap" --record-dir "$work/rec" >"$work/replay.out" || status=$?
    finish
    cat "$work/replay.out"
    if [ $status -ne 1 ] || ! grep -q '^result: MISMATCH' "$work/replay.out" || ! grep -q 'first difference' "$work/replay.out"; then
        echo "golden.sh: the changed session was not reported as a mismatch (status $status)" >&2
        exit 1
    fi
    ;;
regenerate)
    grep -v '^#' "$here/sessions.txt" | while IFS='|' read -r name commands; do
        [ -n "$name" ] && "$0" record "$name" "$commands"
    done
    ;;
*)
    echo "usage: golden.sh record NAME 'COMMANDS' | replay FILE [OPTIONS] | regenerate" >&2
    exit 2
    ;;
esac
