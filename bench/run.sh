#!/usr/bin/env bash
# Builds the benchmark in the normal build, runs every command beside its
# floor and the scripted peer, interleaved at random over many repetitions,
# and prints the ratio report with the README's table.
# Usage: bench/run.sh        (REPS, default 10; MIN_TIME per repetition, default 0.1 s)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
build=build/normal
cmake -S . -B "$build" -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target tarvik_bench
out="$PWD/$build/bench/results.json"
"$build/bench/tarvik_bench" --benchmark_filter=interleaved --benchmark_repetitions="${REPS:-10}" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time="${MIN_TIME:-0.1}" \
  --benchmark_format=json --benchmark_out="$out" --benchmark_out_format=json >/dev/null
/usr/bin/python3 bench/report.py "$out"
