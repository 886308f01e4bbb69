#!/usr/bin/env bash
# Builds everything and runs lumbrel under the stand-in; extra arguments go
# to zelkos-run before the image (for example --trace).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
exec build/zelkos-run "$@" build/lumbrel
