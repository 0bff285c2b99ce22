#!/usr/bin/env bash
# Configures and builds the project.
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
# BUILD_DIR defaults to build/. TALVANE_SANITIZE=address,undefined (or thread)
# builds an instrumented tree. TALVANE_TARGETS="a b" builds only those targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-"$root/build"}
shift || true

cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}")
if [ -n "${TALVANE_SANITIZE:-}" ]; then
    cmake_args+=(-DTALVANE_SANITIZE="$TALVANE_SANITIZE")
fi
cmake -S "$root" -B "$build_dir" "${cmake_args[@]}" "$@" >/dev/null
targets=()
if [ -n "${TALVANE_TARGETS:-}" ]; then
    read -r -a names <<<"$TALVANE_TARGETS"
    targets=(--target "${names[@]}")
fi
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
