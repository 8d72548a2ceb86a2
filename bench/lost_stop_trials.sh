#!/usr/bin/env bash
# Trials of the fault matrix's row "StopBytesLostToTheDrive" with other seeds: the simulator
# loses 10 % of the bytes to and from the drive module once the drive runs, and the drive must
# stop within its timeout (2 s) + 2 s, on the simulator's clock. Prints one line per trial and
# the count of trials that held.
#
#   bench/lost_stop_trials.sh [TRIALS] [BUILD_DIR]          default: 50 trials, build
#   HALVORAN_TEST_HALVORAN_BIN=/other/halvoran bench/lost_stop_trials.sh   another Halvoran
#
# It uses the fixed ports 5000-5002, so it runs in a network namespace of its own (unshare -n).
set -uo pipefail
cd "$(dirname "$0")/.."
trials="${1:-50}"
build="${2:-build}"
held=0
for seed in $(seq 1 "$trials"); do
    if HALVORAN_E2E_SIM_SEED=$seed unshare -n -r sh -c 'ip link set lo up && exec "$0" --gtest_filter="$1"' \
        "$build/tests/e2e_tests" "Faults/DriveNeverUnattended.StopsInTime/StopBytesLostToTheDrive" > /tmp/lost-stop-trial.$$ 2>&1; then
        held=$((held + 1))
        echo "seed $seed: stopped in time"
    else
        echo "seed $seed: FAILED $(grep -m1 -E 'stopped late|still runs|Failure' -A3 /tmp/lost-stop-trial.$$ | tr '\n' ' ' | cut -c1-200)"
    fi
done
rm -f /tmp/lost-stop-trial.$$
echo "$held of $trials trials stopped within the timeout + 2 s"
