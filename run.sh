#!/usr/bin/env bash
# Builds what is missing, starts the simulated robot (halvoran-sim) and Halvoran on it, and
# serves until Ctrl-C, which stops both.
#
#   ./run.sh
#   HALVORAN_BUILD_DIR=other ./run.sh    builds and runs from another build directory
#
# Then connect a client to 127.0.0.1, ports 5000 (commands), 5001 (frames), 5002 (tracking),
# for example with build/client/halvoran-client.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libedit-dev libncurses-dev libpng-dev libgtk-3-dev)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build="${HALVORAN_BUILD_DIR:-build}"
install_missing
echo "== building in $build/"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target halvoran halvoran-sim halvoran-client

# The simulator's files: its serial line (a symlink to its pseudo-terminal), its control
# socket and its trace, in a private directory.
runtime="$(mktemp -d "${XDG_RUNTIME_DIR:-/tmp}/halvoran-run.XXXXXX")"
link="$runtime/com1"
control="$runtime/control.sock"
trace="$runtime/trace.txt"
sim_pid=""
halvoran_pid=""

# Halvoran first, so that its shutdown (drive stopped, servos off) still reaches the robot.
stop() {
    trap - INT TERM EXIT
    echo
    echo "== stopping"
    for pid in $halvoran_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -f "$runtime/sim.out"
    echo "== the simulator's trace is kept in $trace"
}
trap stop INT TERM EXIT
# Each program in its own process group: Ctrl-C reaches only this script, which stops them in order.
set -m

echo "== starting the simulated robot"
"$build/sim/halvoran-sim" --link "$link" --control "$control" --trace "$trace" \
    > "$runtime/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$runtime/sim.out"; exit 1; }
    sleep 0.1
done
[ -e "$link" ] || { echo "halvoran-sim did not come up"; cat "$runtime/sim.out"; exit 1; }

echo "== starting Halvoran on $link"
HALVORAN_COM1="$link" HALVORAN_HEADLESS=1 "$build/app/halvoran" &
halvoran_pid=$!

cat <<EOF

Halvoran is running on the simulated robot. Connect a client to 127.0.0.1:
  port 5000  commands       port 5001  frame dumps       port 5002  tracking reports
for example with $build/client/halvoran-client (see README.md, "The client").

The simulator's state, faults and world (see README.md, "The simulated robot"):
  $build/sim/halvoran-sim --control $control --command state
  $build/sim/halvoran-sim --control $control --command "world path circle 0 0 12 10"
Its trace: $trace
Press Ctrl-C to stop both.
EOF

# Serve until Ctrl-C, or until one of the two ends by itself.
wait -n "$sim_pid" "$halvoran_pid" || true
