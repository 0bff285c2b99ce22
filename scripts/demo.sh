#!/usr/bin/env bash
# The demonstration: installs what is missing, builds, packs a demo downloader
# program and a skin package, serves them with talvane-cdn on loopback (the
# hosts the default deployment names), and runs talvane-updater, which
# downloads both, launches the downloader and waits for it. The GTK dialog is
# shown when a display is available, the console view otherwise.
#
#   scripts/demo.sh [--large] [updater arguments...]
#
# --large adds 300 MB to the downloader package so that the progress and the
# time-remaining estimate can be watched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

large=0
if [ "${1:-}" = "--large" ]; then
    large=1
    shift
fi

"$root/scripts/setup.sh"
# Only what the demonstration runs: the test suites are most of the tree.
TALVANE_TARGETS="talvane-updater talvane-pack talvane-cdn talvane-demo-downloader talvane-analytics" \
    "$root/scripts/build.sh" "$build"

deployment="$root/resources/deployment/local-demo.deployment"
value() {  # the deployment's value for a key; the first entry of a per-language list
    sed -n "s/^$1[[:space:]]*=[[:space:]]*//p" "$deployment" | head -n 1 | sed 's/^[a-zA-Z_]*=//; s/;.*//'
}
downloader_partner=$(value 'string\.103')
downloader_package=$(value 'string\.108')
skin_partner=$(value 'string\.104')
skin_package=$(value 'string\.107')

work=$(mktemp -d /tmp/talvane-demo.XXXXXX)
cdn_pid=""
analytics_pid=""
cleanup() {
    if [ -n "$analytics_pid" ]; then
        kill "$analytics_pid" 2>/dev/null || true
        wait "$analytics_pid" 2>/dev/null || true
    fi
    if [ -n "$cdn_pid" ]; then
        kill "$cdn_pid" 2>/dev/null || true
        wait "$cdn_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== packing the demo packages into $work/root"
mkdir -p "$work/in/downloader/docs" "$work/in/skin/images"
cp "$build/tools/talvane-demo-downloader/talvane-demo-downloader" "$work/in/downloader/TalvaneDemoDownloader"
echo "The Talvane demo downloader." > "$work/in/downloader/docs/README.txt"
head -c 3000000 /dev/urandom > "$work/in/downloader/docs/assets.bin"
if [ "$large" = 1 ]; then
    head -c 300000000 /dev/urandom > "$work/in/downloader/docs/large-assets.bin"
fi
echo '<skin name="Talvane Demo" colour="#2a6fb0"/>' > "$work/in/skin/skin.xml"
head -c 200000 /dev/urandom > "$work/in/skin/images/background.png"

nodes=127.0.0.1:47810,127.0.0.1:47811
# The demo deployment requires the publisher's signature; its key was made
# when the build was configured.
sign=(--sign-key "$build/demo/publisher.key" --expires-in 30)
"$build/tools/talvane-pack/talvane-pack" --input "$work/in/downloader" --output "$work/root" \
    --partner "$downloader_partner" --package "$downloader_package" --package-version 1.0.0 \
    --name "Talvane Demo Downloader" --run TalvaneDemoDownloader --current --nodes "$nodes" --chunk-size 1048576 \
    "${sign[@]}"
"$build/tools/talvane-pack/talvane-pack" --input "$work/in/skin" --output "$work/root" \
    --partner "$skin_partner" --package "$skin_package" --package-version 1 \
    --name "Talvane Demo Skin" --run skin.xml --current --nodes "$nodes" "${sign[@]}"

wait_ready() {  # name pid log
    for _ in $(seq 1 100); do
        grep -q '^ready' "$3" 2>/dev/null && return 0
        kill -0 "$2" 2>/dev/null || { cat "$3"; echo "$1 did not start"; exit 1; }
        sleep 0.1
    done
    grep -q '^ready' "$3" || { cat "$3"; echo "$1 did not get ready"; exit 1; }
}

echo "== starting talvane-analytics on the deployment's analytics URLs"
"$build/tools/talvane-analytics/talvane-analytics" serve --database "$work/analytics.sqlite" \
    --events-listen "$(value analyticsEventsUrl | sed 's|^http://||')" \
    --transfers-listen "$(value analyticsTransfersUrl | sed 's|^http://||')" > "$work/analytics.log" 2>&1 &
analytics_pid=$!
wait_ready talvane-analytics "$analytics_pid" "$work/analytics.log"

echo "== starting talvane-cdn on loopback"
"$build/tools/talvane-cdn/talvane-cdn" --root "$work/root" --fixed-ports --no-analytics --nodes 2 --country DE \
    > "$work/cdn.log" 2>&1 &
cdn_pid=$!
wait_ready talvane-cdn "$cdn_pid" "$work/cdn.log"

echo "== running talvane-updater"
mkdir -p "$work/user"
export TMPDIR="$work/user"  # a fresh data folder for every demonstration
export TALVANE_DEMO_REPORT="$work/report.txt"
"$build/app/talvane-updater" "$@"

echo "== the updater has ended"
if [ -s "$work/report.txt" ]; then
    echo "The downloaded program was launched with:"
    sed 's/^/    /' "$work/report.txt"
    # The collector commits what it acknowledged; stopping it answers the rest.
    kill "$analytics_pid" 2>/dev/null && wait "$analytics_pid" 2>/dev/null || true
    analytics_pid=""
    # Outside the work folder, which goes when the demonstration ends.
    mkdir -p "$build/demo"
    "$build/tools/talvane-analytics/talvane-analytics" report --database "$work/analytics.sqlite" \
        --output "$build/demo/analytics-report.html"
    echo "The analytics report of this demonstration: $build/demo/analytics-report.html"
else
    echo "The downloaded program was not launched (see the messages above)."
    exit 1
fi
