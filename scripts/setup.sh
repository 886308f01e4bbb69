#!/usr/bin/env bash
# Installs what building and testing need, if it is missing; safe to run
# again. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(clang lld cmake ninja-build libclang-rt-14-dev libunicorn-dev libcapstone-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build --preset default
