#!/bin/bash
# Prepares a fresh Debian 12 machine (as root): installs the packages the project needs, then
# configures and builds the native, 64-bit and 32-bit Windows builds and the fuzzers.
# Safe to run again: it installs only what is missing and rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ python3
    mingw-w64 wine wine64 googletest libgtest-dev
    clang libclang-rt-14-dev
    xvfb x11-utils tmux iproute2 imagemagick procps nsis util-linux
    tshark mono-mcs llvm lld
    wixl msitools prometheus prometheus-node-exporter curl
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q "${missing[@]}"
fi

jobs=${DULVEX_JOBS:-2}
for preset in native win64 win32 fuzz; do
    [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >"build-$preset.configure.log" 2>&1 || {
        cat "build-$preset.configure.log" >&2; exit 1; }
    rm -f "build-$preset.configure.log"
    echo "setup: building $preset"
    cmake --build --preset "$preset" -j "$jobs" >/dev/null || cmake --build --preset "$preset" -j 1
done
