#!/usr/bin/env bash
# Builds the library and its demo, then runs the demo: every command against a
# printer that is a pseudo-terminal, with what the printer receives.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build/demo -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/demo -j "$(nproc)" --target demo >/dev/null
build/demo/examples/demo
