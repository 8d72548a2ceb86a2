#!/usr/bin/env bash
# Soak test: session after session of Halvoran on the simulated robot, through run.sh and its
# restart, for a given time. Each session runs random valid client commands (pass-throughs with
# the channel switch's escape byte among them) while random simulator faults are switched on and
# off (byte loss to and from the drive module and a serial hang-up among them), and ends in one
# of several ways (the client's quit, the client killed, the client falling silent with the drive
# running, SIGTERM to Halvoran). After each session the simulated robot must have its drive
# stopped and its four servos off.
#
#   bench/soak.sh [SECONDS] [BUILD_DIR]      default: 3600 seconds, build-soak
#   SOAK_SEED=7 bench/soak.sh 600            a repeatable choice of commands and faults
#   SOAK_ENDING=3 bench/soak.sh 600          every session ends the same way (0 quit, 1 client
#                                            killed, 2 SIGTERM, 3 client silent, drive running)
#
# Not part of ./test.sh. It uses the fixed ports 5000-5002, so it runs itself in a network
# namespace of its own (unshare -n, which needs root or user namespaces). It prints one line per
# session (commands answered, drive stops, how it ended, Halvoran's resident memory and open
# descriptors at the session's start and end) and a summary; exit status 1 when any session
# ended with the drive running or a servo on, or a drive outlived its timeout.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ -z "${SOAK_IN_NETNS:-}" ]; then
    exec unshare -n env SOAK_IN_NETNS=1 sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi

duration="${1:-3600}"
build="${2:-build-soak}"
seed="${SOAK_SEED:-$$}"
RANDOM=$seed

source tools/packages.sh
install_missing jq procps >/dev/null

work="$(mktemp -d /tmp/halvoran-soak.XXXXXX)"
client="$build/client/halvoran-client"
sim="$build/sim/halvoran-sim"
runsh_pid=""
client_pid=""
trap '' PIPE

cleanup() {
    trap - EXIT INT TERM
    exec 7>&- 2>/dev/null
    [ -n "$client_pid" ] && kill -KILL "$client_pid" 2>/dev/null
    if [ -n "$runsh_pid" ] && kill -0 "$runsh_pid" 2>/dev/null; then
        kill -CONT "$runsh_pid" 2>/dev/null
        kill -TERM "$runsh_pid" 2>/dev/null
        for _ in $(seq 100); do kill -0 "$runsh_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$runsh_pid" 2>/dev/null
    fi
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say() { echo "$(date -u +%H:%M:%S) $*"; }

# ---- run.sh, with its runtime folder (the simulator's control socket) in our work folder
commit="${SOAK_COMMIT:-$(git rev-parse --short HEAD 2>/dev/null || echo unknown)}"
say "soak: ${duration} s from $build (commit $commit), seed $seed"
[ -x "$client" ] && [ -x "$sim" ] && [ -x "$build/app/halvoran" ] || { echo "build $build first"; exit 2; }
# Without the bridge: it would be Halvoran's client, and the soak's client could not connect.
XDG_RUNTIME_DIR="$work" HALVORAN_BUILD_DIR="$build" setsid ./run.sh --no-bridge > "$work/run.out" 2>&1 &
runsh_pid=$!
control=""
for _ in $(seq 600); do
    control="$(ls "$work"/halvoran-run.*/control.sock 2>/dev/null | head -n1)"
    [ -n "$control" ] && [ -S "$control" ] && break
    kill -0 "$runsh_pid" 2>/dev/null || break
    sleep 0.5
done
[ -n "$control" ] && [ -S "$control" ] || { say "run.sh did not start the simulator:"; cat "$work/run.out"; exit 2; }
trace="$(dirname "$control")/trace.txt"

simcmd() { timeout 10 "$sim" --control "$control" --command "$@" 2>/dev/null; }
state() { simcmd state; }

# The Halvoran that run.sh started and that is not `previous`; waits at most 20 s.
halvoran_after() {
    local previous="$1" pid
    for _ in $(seq 200); do
        pid="$(pgrep -P "$runsh_pid" -x halvoran | head -n1)"
        [ -n "$pid" ] && [ "$pid" != "$previous" ] && { echo "$pid"; return 0; }
        kill -0 "$runsh_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
# Alive and not a zombie (run.sh is held while a session ends, so it does not reap at once).
alive_pid() { local st; st="$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)"; [ -n "$st" ] && [ "$st" != Z ]; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo "-"; }
fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

# ---- random commands and faults
pick() { local -n list=$1; echo "${list[RANDOM % ${#list[@]}]}"; }
random_command() {
    case $((RANDOM % 11)) in
        0|1) echo "drive --speed $((RANDOM % 256 - 128)) --steer $((RANDOM % 256)) --timeout $((RANDOM % 4 + 1))" ;;
        2) echo "drive --pan $((RANDOM % 256)) --tilt $((RANDOM % 256))" ;;
        3) echo "stop" ;;
        4) echo "status" ;;
        5) echo "camera gv" ;;
        6) case $((RANDOM % 3)) in
               0) echo "modules 02 02 1E 80" ;;
               # The switch's escape byte among the bytes: the far end may change channel.
               1) echo "modules 02 02 1F 00 5C 31" ;;
               2) echo "modules 5C 32 02 02 1E 80" ;;
           esac ;;
        7) echo "track colour 30 90 170 230 50 110 --mode $(pick modes) --seconds $((RANDOM % 3 + 1))" ;;
        8) echo "track window --mode $(pick modes) --seconds 1" ;;
        9) echo "dump -o $work/frame.png --wait 10" ;;
        10) echo "sleep $((RANDOM % 1500))" ;;
    esac
}
# Faults on what the devices send, byte loss to and from the drive module (its stops are read
# back and sent again until confirmed, so a session that ends while it is on can still be judged)
# and "hangup": the link unplugged for 300 ms and plugged in again. Byte loss to the servo module
# would lose servo-off packets, which nothing confirms: it is left out.
faults=("drive dropreplies 1" "drive dropreplies 3" "servo dropreplies 2" "drive garble 20" "servo garble 20"
        "camera garble 5" "camera silent" "drive silent" "drive slow 30" "servo slow 30" "link garble 2"
        "camera slow 100" "drive drop 10" "hangup")
drive_drop=0
apply_fault() {
    case "$1" in
        hangup) hangups=$((hangups + 1))
                simcmd "fault link unplugged on" >/dev/null; sleep 0.3; simcmd "fault link unplugged off" >/dev/null ;;
        "drive drop"*) drive_drop=1; simcmd "fault $1" >/dev/null ;;
        *) simcmd "fault $1" >/dev/null ;;
    esac
}
modes=(both pan tilt report)

# ---- totals
hangups=0 sessions=0 answered=0 failed_commands=0 drive_stops=0 bad_sessions=0 timeout_checks=0 timeout_failures=0
first_rss="" last_rss="" first_fds="" last_fds="" max_rss=0 max_fds=0
declare -A ends=()
timeout_ms=()
failures=()

deadline=$((SECONDS + duration))
halvoran_pid=""
while [ $SECONDS -lt $deadline ]; do
    halvoran_pid="$(halvoran_after "$halvoran_pid")" || { say "run.sh no longer starts Halvoran:"; tail -20 "$work/run.out"; break; }
    sessions=$((sessions + 1))
    # run.sh is held for the whole session, until the robot has been looked at after it, so that
    # the next Halvoran's start-up (which switches servos on and off) does not meet the check.
    kill -STOP "$runsh_pid"
    simcmd "fault clear" >/dev/null
    drive_drop=0
    stops_before="$(state | jq '.drive.stops')"

    rm -f "$work/in" "$work/client.out" "$work/client.err"
    mkfifo "$work/in"
    "$client" --connect-timeout 20000 --timeout 5000 < "$work/in" > "$work/client.out" 2> "$work/client.err" &
    client_pid=$!
    exec 7> "$work/in"

    # Sends one command line and waits (bounded) until the client has carried it out.
    n=0
    send() {
        n=$((n + 1))
        echo "$1; echo @ok $n" >&7 2>/dev/null || return 1
        local limit=$((SECONDS + ${2:-40}))
        while [ $SECONDS -lt $limit ]; do
            grep -q "^@ok $n\$" "$work/client.out" 2>/dev/null && return 0
            kill -0 "$client_pid" 2>/dev/null || return 1
            sleep 0.05
        done
        failures+=("session $sessions: no answer to '$1' within ${2:-40} s")
        return 1
    }

    # Halvoran's memory and descriptors: at the start of the session (its first command
    # answered) and the last sample while it still runs (after each command).
    rss_start="-" fds_start="-" rss_end="-" fds_end="-"
    sample() {
        [ $alive -eq 1 ] && alive_pid "$halvoran_pid" || return 0
        local rss fds
        rss="$(rss_kb "$halvoran_pid")" fds="$(fd_count "$halvoran_pid")"
        [ -n "$rss" ] && [ "$rss" != "-" ] || return 0
        rss_end=$rss fds_end=$fds
        [ "$rss_start" = "-" ] && rss_start=$rss fds_start=$fds
        return 0
    }
    alive=1
    send "status" || alive=0
    sample
    count=$((RANDOM % 25 + 5))
    for ((i = 0; i < count && alive; i++)); do
        case $((RANDOM % 6)) in
            0) apply_fault "$(pick faults)" ;;
            1|2) simcmd "fault clear" >/dev/null; drive_drop=0 ;;
        esac
        send "$(random_command)" || alive=0
        sample
    done
    sample

    how="the client's failed command ($(grep -v '^$' "$work/client.err" | tail -n1 | cut -c1-90))"
    # A client stuck without an answer is killed: its connections close.
    if [ $alive -eq 0 ] && kill -0 "$client_pid" 2>/dev/null; then
        how="the client killed after no answer"
        kill -KILL "$client_pid" 2>/dev/null
    fi
    if [ $alive -eq 1 ]; then
        ending=$((RANDOM % 4))
        [ -n "${SOAK_ENDING:-}" ] && ending=$SOAK_ENDING
        case $ending in
            0) how="quit"; echo "quit" >&7 2>/dev/null ;;
            1) how="client killed"; kill -KILL "$client_pid" 2>/dev/null ;;
            2) how="SIGTERM"; kill -TERM "$halvoran_pid" 2>/dev/null ;;
            3) how="client silent with the drive running"
               # The drive must stop within its timeout (2 s) plus one second, with nobody in
               # control; with byte loss to the drive module, plus two seconds for the stop's
               # confirmation and its repeats. Timed on the simulator's clock, from its trace:
               # the speed packet's arrival to the stop's (polling the simulator from here would
               # add its own delay).
               bound_ms=3300; [ $drive_drop -eq 1 ] && bound_ms=4300
               trace_from=$(stat -c %s "$trace" 2>/dev/null || echo 0)
               if send "drive --speed 40 --timeout 2" 20 && [ "$(state | jq '.drive.moving')" = "true" ]; then
                   # (With byte loss the start itself may be lost: a drive that never ran is not
                   # timed.)
                   timeout_checks=$((timeout_checks + 1))
                   stopped=0
                   for _ in $(seq 100); do
                       [ "$(state | jq '.drive.moving')" = "false" ] && { stopped=1; break; }
                       sleep 0.1
                   done
                   sleep 0.2  # the simulator writes its trace out after each pass of its loop
                   ms=$(tail -c +$((trace_from + 1)) "$trace" | awk '
                       / event controller drive value / { speed = $1; stop = 0 }
                       / event controller .*\(stop\)/ { if (speed && !stop) stop = $1 }
                       END { if (speed && stop) print int((stop - speed) / 1000); else print -1 }')
                   if [ $stopped -eq 0 ] || [ "$ms" -lt 0 ] || [ "$ms" -gt $bound_ms ]; then
                       timeout_failures=$((timeout_failures + 1))
                       failures+=("session $sessions: the drive stopped ${ms} ms after its speed with a 2 s timeout (stopped: $stopped)")
                   fi
                   timeout_ms+=("$ms")
               fi
               echo "quit" >&7 2>/dev/null ;;
        esac
    fi
    exec 7>&-
    # The session ends: Halvoran exits (bounded), run.sh starts the next one.
    for _ in $(seq 150); do alive_pid "$halvoran_pid" || break; sleep 0.1; done
    if alive_pid "$halvoran_pid"; then
        failures+=("session $sessions: Halvoran did not end within 15 s after '$how'")
        kill -TERM "$halvoran_pid" 2>/dev/null
    fi
    kill -KILL "$client_pid" 2>/dev/null
    wait "$client_pid" 2>/dev/null
    client_pid=""

    s="$(state)"
    kill -CONT "$runsh_pid"
    moving="$(jq '.drive.moving' <<<"$s")" running="$(jq '.drive.running' <<<"$s")"
    servos_on="$(jq '[.servos[] | select(.on)] | length' <<<"$s")"
    stops=$(( $(jq '.drive.stops' <<<"$s") - stops_before ))
    ok=$(grep -c '^@ok ' "$work/client.out")
    bad=$(grep -c '(result ' "$work/client.err")
    answered=$((answered + ok + bad)) failed_commands=$((failed_commands + bad))
    drive_stops=$((drive_stops + stops))
    kind="$how"; [ $alive -eq 0 ] && kind="a failed command"
    ends[$kind]=$(( ${ends[$kind]:-0} + 1 ))
    verdict="drive stopped, servos off"
    if [ "$running" != "false" ] || [ "$moving" != "false" ] || [ "$servos_on" != "0" ]; then
        bad_sessions=$((bad_sessions + 1))
        verdict="FAILURE: drive running=$running moving=$moving, $servos_on servos on"
        failures+=("session $sessions ($how): $verdict")
    fi
    say "session $sessions: $((ok + bad)) commands answered ($bad failed), ended by $how; drive stops $stops; $verdict;" \
        "pid $halvoran_pid RSS ${rss_start}->${rss_end} kB, fds ${fds_start}->${fds_end}"
    if [ "$rss_end" != "-" ] && [ -n "$rss_end" ]; then
        [ -z "$first_rss" ] && first_rss=$rss_start first_fds=$fds_start
        last_rss=$rss_end last_fds=$fds_end
        [ "$rss_end" -gt "$max_rss" ] && max_rss=$rss_end
        [ "$fds_end" -gt "$max_fds" ] && max_fds=$fds_end
    fi
done

echo
say "summary after $SECONDS s (seed $seed):"
echo "  sessions served:          $sessions"
for how in "${!ends[@]}"; do echo "    ended by $how: ${ends[$how]}"; done
echo "  serial hang-ups:          $hangups (link unplugged for 300 ms)"
echo "  commands answered:        $answered ($failed_commands answered with a failure code)"
echo "  drive stops seen:         $drive_stops (by the simulated drive module)"
echo "  drive timeout checks:     $timeout_checks, of which late: $timeout_failures (stop after the speed, ms: ${timeout_ms[*]:-none})"
echo "  sessions ending unsafe:   $bad_sessions"
echo "  halvoran RSS (kB):        first session start $first_rss, last session end $last_rss, largest $max_rss"
echo "  halvoran open fds:        first session start $first_fds, last session end $last_fds, largest $max_fds"
if [ ${#failures[@]} -gt 0 ]; then
    echo "  failures:"
    printf '    %s\n' "${failures[@]}"
    exit 1
fi
echo "  no failures"
