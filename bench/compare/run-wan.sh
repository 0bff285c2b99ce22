#!/usr/bin/env bash
# Compares talvane-get with aria2c and curl over emulated wide-area links
# (three nginx nodes in network namespaces behind talvane-link-emulator) and
# writes docs/benchmarks-wan.md, docs/images/benchmarks-wan-*.svg and
# bench/compare/results/wan/. Needs root: it creates network namespaces and
# TUN devices, and removes them at the end.
#
#   bash bench/compare/run-wan.sh [wan.py options...]
#
# Environment:
#   BENCH_WAN_REPS=3      repetitions of every tool, setting and case (medians)
#   BENCH_BUILD=DIR       Release build folder (default: build-release)
#   BENCH_WAN_WORK=DIR    content, destination and logs (default: BUILD/bench-wan)
#   BENCH_TALVANE_ARGS    extra talvane-get arguments
#   BENCH_TIMEOUT=600     seconds before a run is killed and counted as failed
#
# For a quick check of one talvane-get build, without a report, see the top
# of bench/compare/wan.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BENCH_BUILD:-"$root/build-release"}
export BENCH_BUILD="$build"

if [ "$(id -u)" -ne 0 ]; then
    echo "run-wan.sh: network namespaces and TUN devices need root" >&2
    exit 1
fi

# The project's packages and the benchmark's own: nginx for the nodes, the
# tools compared, GNU time, ip for the namespaces.
bash "$root/scripts/setup.sh" nginx-light aria2 time curl util-linux python3 iproute2

echo "bench: building the tools and the link emulator (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target talvane-get talvane-pack talvane-cdn talvane-link-emulator \
    talvane_link_model_test

echo "bench: checking the emulator's timing rules and the harness"
"$build/bench/wan/talvane_link_model_test" --gtest_brief=1
python3 -m unittest discover -s "$root/bench/compare" -p 'test_*.py' -q

command="bash bench/compare/run-wan.sh"
for name in BENCH_WAN_REPS BENCH_TALVANE_ARGS; do
    if [ -n "${!name:-}" ]; then
        command="$name=$(printf %q "${!name}") $command"
    fi
done
export BENCH_COMMAND="$command${*:+ $*}"
# A quick check someone else started finishes first rather than sharing the
# machine with the measurements.
exec python3 "$root/bench/compare/wan.py" --report --wait-lock 3600 "$@"
