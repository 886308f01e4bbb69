#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time (default 60 s).
# New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as they
# are. A finding stops the run and leaves its input in build-fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh >/dev/null
[ -f build-fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build-fuzz/findings
work=
trap 'rm -rf "$work"' EXIT
for target in build-fuzz/fuzz/fuzz_*; do
    name=${target##*/fuzz_}
    work=$(mktemp -d)
    echo "fuzzing $name for ${seconds}s"
    "$target" -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix=build-fuzz/findings/"$name"- "$work" fuzz/corpus/"$name" 2>&1 |
        grep -E '^(Done|FINDING|SUMMARY|==[0-9]+== ?ERROR)'
    rm -rf "$work"
done
