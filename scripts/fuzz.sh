#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on a
# copy of its committed corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
build="$root/build-fuzz"

if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ not found, skipping"
    exit 0
fi
CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

for target in package nodelist geolocation stored_transfer json_text signature analytics_document; do
    work=$(mktemp -d)
    cp "$root/fuzz/corpus/$target/"* "$work/"
    echo "== fuzz_$target for ${seconds}s =="
    ASAN_OPTIONS=detect_leaks=1 "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 "$work" 2>&1 | tail -n 12
    rm -rf "$work"
done
