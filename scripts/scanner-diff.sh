#!/bin/sh
# Runs the record scanner of REV (default: release 0.4.0) and of the work
# tree side by side over the captured streams in tests/data and N generated
# streams (default 5000), each fed whole and in random pieces, and prints the
# number of streams whose records differ (the records must never change).
# Usage: scripts/scanner-diff.sh [REV] [N]
set -eu
cd "$(dirname "$0")/.."
rev=${1:-26f351c}
n=${2:-5000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
for f in logscan.h logscan.cpp logrecord.h logrecord.cpp; do
    git show "$rev:src/$f" >"$work/src/$f"
done
for side in old new; do
    src=$work/src
    [ "$side" = new ] && src=src
    g++ -std=c++20 -O2 -I"$src" scripts/scanner_diff.cpp "$src/logscan.cpp" "$src/logrecord.cpp" -o "$work/$side"
    "$work/$side" tests/data/*.txt -g "$n" >"$work/$side.out"
done
streams=$(grep -c '^--- stream' "$work/new.out")
records=$(grep -c ' -1$' "$work/new.out" || true)
differ=$(diff "$work/old.out" "$work/new.out" | grep -c '^[<>]' || true)
echo "streams: $streams (each whole and twice in random pieces), records: $records, differing lines: $differ"
[ "$differ" = 0 ]
