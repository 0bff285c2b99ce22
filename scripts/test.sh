#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite, then runs it again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
# Last, the fuzz targets of the readers of server input run for a bounded time.
#   TALVANE_SANITIZER_PASS=0 skips the instrumented pass,
#   TALVANE_FUZZ_SECONDS=N sets the time per fuzz target (0 skips them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"

"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)" --timeout 600)

if [ "${TALVANE_SANITIZER_PASS:-1}" != "0" ]; then
    echo "== sanitizer pass (address, undefined) =="
    TALVANE_SANITIZE=address,undefined CMAKE_BUILD_TYPE=Debug "$root/scripts/build.sh" "$root/build-asan"
    (cd "$root/build-asan" &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure -j "$(nproc)" --timeout 900)
fi

if [ "${TALVANE_FUZZ_SECONDS:-20}" != "0" ]; then
    "$root/scripts/fuzz.sh" "${TALVANE_FUZZ_SECONDS:-20}"
fi
