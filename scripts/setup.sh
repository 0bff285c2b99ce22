#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: apt-get
# skips what is already installed.
#   scripts/setup.sh [extra packages...]
# Extra package names (a tool's own needs, e.g. the benchmark's) are installed
# along with the project's list.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config gettext
    libboost1.74-dev libboost-thread1.74-dev libboost-filesystem1.74-dev
    libboost-locale1.74-dev libboost-random1.74-dev libboost-system1.74-dev
    libboost-program-options1.74-dev
    libcurl4-openssl-dev libssl-dev openssl libpoco-dev libgtk-3-dev libxtst-dev libdeflate-dev libexpat1-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    xvfb xauth
    libsqlite3-dev libpq-dev postgresql
    # The analytics report's screenshot test renders the page headless (about
    # 115 MB with its libraries; the test skips without it).
    chromium
    help2man
    nginx-light
)
packages+=("$@")

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi

echo "setup: installing ${missing[*]}"
install() {
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
# A fresh machine has no package lists, an old one may have stale ones: refresh
# only when the first attempt fails.
if ! install; then
    "${sudo_cmd[@]}" apt-get update -qq
    install
fi
