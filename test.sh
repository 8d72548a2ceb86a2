#!/usr/bin/env bash
# Installs what is missing (apt-get), builds everything and runs every test.
#
#   ./test.sh          the plain suite, then the suite under AddressSanitizer and
#                      UndefinedBehaviorSanitizer (what CI runs)
#   ./test.sh plain    the plain suite only            (build dir: build/)
#   ./test.sh asan     AddressSanitizer + UBSan only   (build dir: build-asan/)
#   ./test.sh tsan     ThreadSanitizer only            (build dir: build-tsan/)
#   ./test.sh all      all three in turn
#
# Extra arguments after the mode go to ctest, e.g. ./test.sh plain -R Deframer
set -euo pipefail
cd "$(dirname "$0")"

source tools/packages.sh

run_suite() {
    local name="$1" dir="$2" sanitize="$3"
    shift 3
    echo "== ${name}: configure and build in ${dir}"
    # The benchmarks are never run under the sanitizers: those builds leave them out.
    local benchmarks=ON
    [ -n "$sanitize" ] && benchmarks=OFF
    # Line tables only (-g1): enough for the sanitizers' reports and a debugger's backtrace, and
    # the trees build in about half the time of full debug information. The sanitizer trees are
    # optimised at -O1, as the sanitizers recommend: they build in about two thirds of the time.
    local optimise=-O2
    [ -n "$sanitize" ] && optimise=-O1
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimise -g1 -DNDEBUG" \
        -DHALVORAN_SANITIZE="$sanitize" -DHALVORAN_BENCHMARKS="$benchmarks" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    echo "== ${name}: tests"
    local env=()
    case "$sanitize" in
        *address*) env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1) ;;
        thread) env=(TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1) ;;
    esac
    env "${env[@]}" ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "$@"
}

mode="${1:-default}"
[ $# -gt 0 ] && shift
install_missing "${build_packages[@]}" "${test_packages[@]}"
# The Node tests (tests/bridge, tests/dashboard, tests/recorder) share one package.json in tests/:
# a Foxglove protocol client, puppeteer-core for Debian's Chromium and the MCAP reader of
# @mcap/core, from npm (Node 20 and npm come with the machine), exactly as the lock file says.
echo "== npm ci in tests"
(cd tests && npm ci --no-audit --no-fund --loglevel=error)
case "$mode" in
    default) run_suite plain build "" "$@"; run_suite asan build-asan "address,undefined" "$@" ;;
    plain) run_suite plain build "" "$@" ;;
    asan) run_suite asan build-asan "address,undefined" "$@" ;;
    tsan) run_suite tsan build-tsan "thread" "$@" ;;
    all) run_suite plain build "" "$@"; run_suite asan build-asan "address,undefined" "$@"; run_suite tsan build-tsan "thread" "$@" ;;
    *) echo "usage: ./test.sh [plain|asan|tsan|all] [ctest arguments]" >&2; exit 2 ;;
esac
