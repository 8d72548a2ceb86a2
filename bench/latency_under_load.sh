#!/bin/sh
# The latency of the drive under load, with and without HALVORAN_REALTIME, and cyclictest's
# floor (bench/latency_under_load.cpp says what it measures). Not part of ./test.sh: it takes
# both cores under stress-ng for the length of the run.
#
#   bench/latency_under_load.sh [SECONDS_PER_CELL [CYCLICTEST_SECONDS]] [BUILD_DIR via $BUILD]
#
# Four cells of SECONDS_PER_CELL (default 120: about 4800 'P's and 60 drive timeouts each) and two
# cyclictest runs of CYCLICTEST_SECONDS (default 20): about 9 minutes with the defaults. Needs
# root: real-time priorities for the simulator and the client, and a network namespace of its
# own (Halvoran's ports 5000-5002 stay free for everyone else) with a /tmp of its own in memory.
set -eu

cd "$(dirname "$0")/.."
build="${BUILD:-build}"
program="$build/bench/bench_latency_under_load"

missing=""
command -v stress-ng > /dev/null || missing="$missing stress-ng"
command -v cyclictest > /dev/null || missing="$missing rt-tests"
if [ -n "$missing" ]; then
    echo "installing:$missing"
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing > /dev/null
    else
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing > /dev/null
    fi
fi
if [ ! -x "$program" ]; then
    echo "building $program"
    cmake --build "$build" -j2 --target bench_latency_under_load halvoran halvoran-sim
fi
# A network namespace of its own, and /tmp in memory (the simulator's trace goes there): a write
# that waits for a busy disk must not delay the simulator's reading of a byte.
exec unshare -n -m --propagation private \
    sh -c 'ip link set lo up && mount -t tmpfs -o size=1g tmpfs /tmp && exec "$0" "$@"' "$program" "$@"
