#!/usr/bin/env bash
# Builds the Debian packages talvane-updater and talvane-tools, checks them with
# lintian, and proves them on a clean Debian 12 root made with mmdebstrap: they
# are installed there with apt-get, which brings their dependencies, then
# talvane-pack packs a folder, talvane-cdn serves it inside the root and
# talvane-get downloads it, and the download must equal the folder.
#
#   scripts/package.sh [BUILD_DIR [cmake arguments...]]
#
# BUILD_DIR (default build-deb/) is a Release tree of the installed programs
# only; the packages are left in BUILD_DIR/packages/. The cmake arguments
# choose, for example, the deployment the programs are built for
# (-DTALVANE_DEPLOYMENT=/path/to/file). Needs root (the clean
# root is entered with chroot) and the network (Debian's archive).
# TALVANE_PACKAGE_MIRROR names another Debian mirror for the clean root;
# TALVANE_PACKAGE_PROVE=0 stops after lintian.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-deb"}
shift || true
mirror=${TALVANE_PACKAGE_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
    echo "package.sh: the clean root needs root (chroot and mounts); run it with sudo" >&2
    exit 2
fi

"$root/scripts/setup.sh" lintian mmdebstrap desktop-file-utils

echo "== building the installed programs (Release) in $build"
# Debian's own compiler and linker flags, hardening included; no debug
# information, since the packages ship stripped programs.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g
cxxflags="$(cd "$root" && dpkg-buildflags --get CPPFLAGS) $(cd "$root" && dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# The man pages and the changelog carry the date of the last commit, not of
# the build.
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi
CMAKE_BUILD_TYPE=Release \
    TALVANE_TARGETS="talvane-updater talvane-get talvane-pack talvane-cdn talvane_man_pages" \
    "$root/scripts/build.sh" "$build" -DBUILD_TESTING=OFF -DTALVANE_BUILD_BENCHMARKS=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@"

echo "== cpack"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
debs=("$build"/packages/*.deb)
for deb in "${debs[@]}"; do
    echo "$deb"
done

echo "== desktop entry"
entry=$(mktemp -d)
dpkg-deb -x "$build"/packages/talvane-updater_*.deb "$entry"
desktop-file-validate "$entry/usr/share/applications/talvane-updater.desktop"
rm -rf "$entry"
echo "talvane-updater.desktop: valid"

echo "== lintian"
# Errors fail the run; warnings are printed.
lintian_status=0
lintian_output=$(lintian --fail-on error --tag-display-limit 0 "${debs[@]}" 2>&1) || lintian_status=$?
echo "$lintian_output" | grep -v 'running with root privileges is not recommended' || true
if [ "$lintian_status" -ne 0 ]; then
    echo "package.sh: lintian reports errors" >&2
    exit 1
fi
echo "lintian: no errors"

echo "== installed sizes"
for deb in "${debs[@]}"; do
    printf '%-18s %6s KiB\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Installed-Size)"
done

if [ "${TALVANE_PACKAGE_PROVE:-1}" = "0" ]; then
    exit 0
fi

# The clean root lives on disk, not in a tmpfs /tmp: the desktop libraries the
# updater depends on make it a few hundred MB.
chroot_dir=$(mktemp -d /var/tmp/talvane-package-root.XXXXXX)
proof=$(mktemp /var/tmp/talvane-package-proof.XXXXXX)
cleanup() {
    # mmdebstrap unmounts what it mounted, unless it was killed first; never
    # remove a tree that still has /dev or /proc bound into it.
    local mounts
    mounts=$(findmnt -rn -o TARGET | grep -F "$chroot_dir" | sort -r || true)
    if [ -n "$mounts" ]; then
        echo "$mounts" | xargs -r -n 1 umount -l
    fi
    rm -rf --one-file-system "$chroot_dir" "$proof"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cat > "$proof" <<'EOF'
set -eu
echo "-- apt-get install ./*.deb"
cd /tmp/debs
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ./*.deb > apt.log 2>&1 ||
    { cat apt.log; exit 1; }
grep -E '^(Setting up talvane|[0-9]+ upgraded)' apt.log
cd /
echo "-- talvane-get --version"
talvane-get --version
# The updater's libraries resolve without a display.
echo "-- talvane-updater --version"
talvane-updater --version
for program in talvane-updater talvane-get talvane-pack talvane-cdn; do
    test -x "/usr/bin/$program"
    test -s "/usr/share/man/man1/$program.1.gz"
done
test -s /usr/share/applications/talvane-updater.desktop
test -s /usr/share/icons/hicolor/scalable/apps/talvane-updater.svg

work=/tmp/talvane-proof
mkdir -p "$work/in/docs" "$work/root" "$work/dest" "$work/data"
head -c 3000000 /dev/urandom > "$work/in/docs/assets.bin"
printf '#!/bin/sh\necho proof\n' > "$work/in/run.sh"

echo "-- talvane-cdn"
talvane-cdn --root "$work/root" --nodes 2 > "$work/cdn.log" 2>&1 &
cdn=$!
trap 'kill "$cdn" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
    grep -qs '^ready' "$work/cdn.log" && break
    sleep 0.1
done
cat "$work/cdn.log"
grep -q '^ready' "$work/cdn.log"
endpoint() { sed -n "s/^$1 //p" "$work/cdn.log"; }

echo "-- talvane-pack"
talvane-pack --input "$work/in" --output "$work/root" \
    --partner 5e1d0a7c93b24f6d8a0c2e41 --package 3a5c7e9b1d3f5a7c9e1b3d5f --package-version 1.0.0 \
    --name "Package proof" --run run.sh --current --nodes "$(endpoint node0),$(endpoint node1)" \
    --chunk-size 262144
find "$work/root" -type f | sort

echo "-- talvane-get"
TMPDIR="$work/data" talvane-get --manifest-host "$(endpoint manifest)" \
    --geolocation-url "$(endpoint geolocation)" --events-url "$(endpoint events)" \
    --transfers-url "$(endpoint transfers)" \
    --partner 5e1d0a7c93b24f6d8a0c2e41 --package 3a5c7e9b1d3f5a7c9e1b3d5f --dest "$work/dest"
diff -r "$work/in" "$work/dest"
echo "the download equals the packed folder"
EOF

echo "== proving the packages on a clean Debian 12 root ($mirror)"
mmdebstrap --variant=apt --quiet \
    --customize-hook="mkdir -p \"\$1/tmp/debs\"" \
    --customize-hook="copy-in ${debs[*]} $proof /tmp/debs" \
    --customize-hook="chroot \"\$1\" sh /tmp/debs/$(basename "$proof")" \
    bookworm "$chroot_dir" "$mirror"
echo "== the packages install and work on a clean Debian 12"
