#!/usr/bin/env bash
# Builds everything and runs the benchmark: one table on stdout and
# build/bench.json. QEMU user mode is installed for the side-by-side rows.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v qemu-i386 >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq qemu-user >/dev/null
fi
bash scripts/setup.sh >/dev/null
exec build/zelkos-bench
