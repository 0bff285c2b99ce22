#!/usr/bin/env bash
# Compares talvane-get with aria2c and curl on the same local nginx download
# nodes and writes docs/benchmarks.md, docs/images/benchmarks.svg and
# bench/compare/results/ (every run, the summary, the machine).
#
#   bash bench/compare/run.sh [compare.py options...]
#
# Environment:
#   BENCH_REPS=5          repetitions of every tool, setting and case (medians)
#   BENCH_QUICK=1         64 MiB / 200 files instead of 1 GiB / 2,000 files; the
#                         report then goes to bench/compare/results/quick/
#   BENCH_BUILD=DIR       Release build folder (default: build-release)
#   BENCH_WORK=DIR        content, destinations and logs (default: BUILD/bench-compare);
#                         must be on a disk, not tmpfs
#   BENCH_TALVANE_ARGS    extra talvane-get arguments, e.g. "--log-level 0"
#   BENCH_TIMEOUT=900     seconds before a run is killed and counted as failed
#
# Generated content is kept in the work folder and reused while the datasets
# stay the same.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BENCH_BUILD:-"$root/build-release"}
export BENCH_BUILD="$build"

# The project's packages and the benchmark's own: nginx for the nodes, the
# tools compared, GNU time for their resource use.
bash "$root/scripts/setup.sh" nginx-light aria2 time curl util-linux python3
# nginx is only run by hand here; a service the package may have started is not ours to stop.

echo "bench: building talvane-get, talvane-pack and talvane-cdn (Release) in $build"
# The configuration of scripts/build.sh, but only the three tools are built.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target talvane-get talvane-pack talvane-cdn

echo "bench: checking the harness"
python3 -m unittest discover -s "$root/bench/compare" -p 'test_*.py' -q

command="bash bench/compare/run.sh"
for name in BENCH_QUICK BENCH_REPS BENCH_TALVANE_ARGS; do
    if [ -n "${!name:-}" ]; then
        command="$name=$(printf %q "${!name}") $command"
    fi
done
export BENCH_COMMAND="$command${*:+ $*}"
exec python3 "$root/bench/compare/compare.py" "$@"
