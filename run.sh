#!/usr/bin/env bash
# Builds what is missing, starts the simulated robot (halvoran-sim) and Halvoran on it, and
# serves until Ctrl-C, which stops both. Halvoran serves one client session and ends when the
# client leaves; like a service manager on the robot, this script starts it again each time, so
# that session after session works.
#
#   ./run.sh
#   ./run.sh --demo                      a short tour through one client session and a screenshot
#                                        of the web dashboard (dashboard.png), then the end
#   ./run.sh --package                   builds the Debian package (build/halvoran_<version>_<arch>.deb)
#                                        and ends; README.md, "Installing on a robot"
#   ./run.sh --no-bridge                 without halvoran-bridge, so that a client of your own
#                                        (halvoran-client) holds Halvoran's session
#   HALVORAN_BUILD_DIR=other ./run.sh    builds and runs from another build directory
#
# halvoran-bridge holds Halvoran's session and serves it to many viewers and one driver over the
# Foxglove WebSocket protocol (ws://127.0.0.1:8765). With --no-bridge, connect a client to
# 127.0.0.1, ports 5000 (commands), 5001 (frames), 5002 (tracking), for example with
# build/client/halvoran-client.
set -euo pipefail
cd "$(dirname "$0")"

source tools/packages.sh

demo=0
package=0
bridge=1
case "${1:-}" in
    "") ;;
    --demo) demo=1; bridge=0 ;;
    --no-bridge) bridge=0 ;;
    --package) package=1 ;;
    *) echo "usage: ./run.sh [--demo|--no-bridge|--package]" >&2; exit 2 ;;
esac

build="${HALVORAN_BUILD_DIR:-build}"
install_missing "${build_packages[@]}"
if [ "$package" -eq 1 ]; then
    # The package installs under /usr; only its programs are built, not the tests.
    install_missing "${package_packages[@]}"
    echo "== building the package in $build/"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    cmake --build "$build" -j2 --target programs
    (cd "$build" && cpack -G DEB) > "$build/cpack.log" 2>&1 || { cat "$build/cpack.log"; exit 1; }
    deb="$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$build/cpack.log")"
    [ -n "$deb" ] && [ -f "$deb" ] || { cat "$build/cpack.log"; echo "== cpack made no package"; exit 1; }
    echo "== the package: $deb"
    echo "   install it with: sudo apt install $deb"
    exit 0
fi
# The tour ends with a screenshot of the web dashboard, taken by a headless browser.
[ "$demo" -eq 1 ] && install_missing chromium
echo "== building in $build/"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target halvoran halvoran-sim halvoran-client halvoran-bridge

# The simulator's files: its serial line (a symlink to its pseudo-terminal), its control
# socket and its trace, in a private directory.
runtime="$(mktemp -d "${XDG_RUNTIME_DIR:-/tmp}/halvoran-run.XXXXXX")"
link="$runtime/com1"
control="$runtime/control.sock"
trace="$runtime/trace.txt"
sim_pid=""
halvoran_pid=""
bridge_pid=""

# The bridge first (it stops the drive and leaves the session), then Halvoran, so that its
# shutdown (drive stopped, servos off) still reaches the robot.
stop() {
    trap - INT TERM EXIT
    echo
    echo "== stopping"
    for pid in $bridge_pid $halvoran_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -f "$runtime/sim.out" "$runtime/bridge.out"
    echo "== the simulator's trace is kept in $trace"
}
# Ctrl-C or a TERM ends the script (so that Halvoran is not started again), and the end stops both.
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Each program in its own process group: Ctrl-C reaches only this script, which stops them in order.
set -m

# On the tour the target moves round a circle, so that the camera can be seen following it.
sim_world=()
[ "$demo" -eq 1 ] && sim_world=(--world "circle 0 0 10 6")

echo "== starting the simulated robot"
"$build/sim/halvoran-sim" --link "$link" --control "$control" --trace "$trace" "${sim_world[@]}" \
    > "$runtime/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$runtime/sim.out"; exit 1; }
    sleep 0.1
done
[ -e "$link" ] || { echo "halvoran-sim did not come up"; cat "$runtime/sim.out"; exit 1; }

start_halvoran() {
    HALVORAN_COM1="$link" HALVORAN_HEADLESS=1 "$build/app/halvoran" &
    halvoran_pid=$!
}

# dashboard_shot FILE: waits for the dashboard on port 8080 and saves a screenshot of it, as a
# browser shows it once the page has connected.
dashboard_shot() {
    local i
    for i in $(seq 100); do
        (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break
        sleep 0.1
    done
    local profile
    profile="$(mktemp -d "$runtime/chromium.XXXXXX")"
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --hide-scrollbars --window-size=1280,860 \
        --virtual-time-budget=4000 --screenshot="$1" http://127.0.0.1:8080/ \
        > "$runtime/chromium.out" 2>&1 || { cat "$runtime/chromium.out"; return 1; }
    rm -rf "$profile" "$runtime/chromium.out"
}

if [ "$demo" -eq 1 ]; then
    echo "== starting Halvoran on $link"
    start_halvoran
    echo "== the tour, through one client session"
    echo
    tour_status=0
    "$build/client/halvoran-client" --connect-timeout 10000 <<'TOUR' || tour_status=$?
echo 1. Driving forward at speed 40 for one second, then stopping.
drive --speed 40 --steer 127
sleep 1000
stop
echo 2. Moving the servos: steering left, then right with the camera turned, then all to the middle.
drive --steer 80
sleep 400
drive --steer 170 --pan 100 --tilt 150
sleep 400
drive --steer 127 --pan 127 --tilt 127
echo 3. One camera line: asking the camera for its version.
camera gv
echo 4. Tracking the green target for five seconds. It moves round a circle, and the pan servo
echo    (servo1) and the tilt servo (servo2) turn after it to keep it near the middle of the
echo    picture (x about 40, y about 72).
track colour 30 90 170 230 50 110 --mode both --seconds 5
echo 5. Saving one camera frame as frame.png.
dump -o frame.png
echo The tour is over. Leaving the session stops the drive and switches the servos off.
quit
TOUR
    # Halvoran ends by itself when the client leaves.
    for _ in $(seq 50); do
        kill -0 "$halvoran_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ "$tour_status" -eq 0 ]; then
        echo "6. The web dashboard: halvoran-bridge takes the next session and serves the page at"
        echo "   http://127.0.0.1:8080; a headless Chromium saves what it shows as dashboard.png."
        start_halvoran
        "$build/bridge/halvoran-bridge" --halvoran 127.0.0.1 > "$runtime/bridge.out" 2>&1 &
        bridge_pid=$!
        dashboard_shot "$PWD/dashboard.png" || tour_status=$?
    fi
    echo
    if [ "$tour_status" -eq 0 ]; then
        echo "== the tour is complete; the pictures are in $PWD/frame.png and $PWD/dashboard.png"
    else
        echo "== the tour stopped with an error (exit status $tour_status)"
    fi
    exit "$tour_status"
fi

if [ "$bridge" -eq 1 ]; then
    # The bridge connects to Halvoran by itself, every 500 ms until it is there, and again after
    # each session; its output goes to a file so that it does not mix with this script's.
    echo "== starting halvoran-bridge"
    "$build/bridge/halvoran-bridge" --halvoran 127.0.0.1 > "$runtime/bridge.out" 2>&1 &
    bridge_pid=$!
    cat <<EOF

The web dashboard: open http://127.0.0.1:8080 in a browser on this machine (without a token the
bridge answers this machine only; see README.md, "Web dashboard" and "Security").

halvoran-bridge serves the robot to Foxglove-protocol tools (Foxglove, Lichtblick) at
  ws://127.0.0.1:8765
(see README.md, "Foxglove and other tools"); it holds Halvoran's session, so start
./run.sh --no-bridge to drive with $build/client/halvoran-client instead.
Its messages: $runtime/bridge.out
EOF
else
    cat <<EOF

Halvoran is running on the simulated robot. Connect a client to 127.0.0.1:
  port 5000  commands       port 5001  frame dumps       port 5002  tracking reports
for example with $build/client/halvoran-client (see README.md, "The client").
EOF
fi
cat <<EOF
Halvoran serves one client session at a time and is started again after each one.

The simulator's state, faults and world (see README.md, "The simulated robot"):
  $build/sim/halvoran-sim --control $control --command state
  $build/sim/halvoran-sim --control $control --command "world path circle 0 0 12 10"
Its trace: $trace
Press Ctrl-C to stop both.
EOF

# Serve until Ctrl-C or until the simulator ends. Halvoran is started again whenever a session
# ends; if it keeps failing at once (its serial line or ports taken), give up.
quick_failures=0
while :; do
    echo "== starting Halvoran on $link"
    start_halvoran
    started=$SECONDS
    ended=""
    status=0
    wait -n -p ended "$sim_pid" "$halvoran_pid" || status=$?
    if [ "${ended:-}" = "$sim_pid" ] || ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "== the simulated robot ended"
        break
    fi
    halvoran_pid=""
    if [ "$status" -ne 0 ] && [ $((SECONDS - started)) -lt 2 ]; then
        quick_failures=$((quick_failures + 1))
        if [ "$quick_failures" -ge 5 ]; then
            echo "== Halvoran failed to start five times in a row (exit status $status); giving up"
            exit 1
        fi
        sleep 1
    else
        quick_failures=0
        echo "== the client session ended (Halvoran's exit status $status)"
    fi
done
