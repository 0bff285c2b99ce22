#!/usr/bin/env bash
# Peak memory of talvane-get transfers by chunk size: builds talvane-get,
# talvane-pack and talvane-cdn (Release) in BUILD and measures the talvane-get
# built there, with every other --subject LABEL=PATH given before it as the
# reference for the ratios. Results go to bench/memory/results/.
#
#   bash bench/memory/run.sh BUILD [--subject base=OTHER/talvane-get] [chunk_rss.py options...]
#
# e.g. bash bench/memory/run.sh build-release --subject base=../base/build-release/tools/talvane-get/talvane-get
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:?usage: run.sh BUILD [chunk_rss.py options...]}")
shift

bash "$root/scripts/setup.sh" nginx-light time util-linux python3

echo "bench: building talvane-get, talvane-pack and talvane-cdn (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target talvane-get talvane-pack talvane-cdn

exec python3 "$root/bench/memory/chunk_rss.py" --build "$build" "$@" \
    --subject "new=$build/tools/talvane-get/talvane-get"
