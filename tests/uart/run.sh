#!/usr/bin/env bash
# The serial driver stage: builds the library, tarvik-print and the guest
# program for 32-bit x86, boots them in QEMU with the printer on the guest's
# ttyS1, and checks what reaches the wire (see run.py).
# Usage: tests/uart/run.sh [SOURCE_DIR [BUILD_DIR]]
#   SOURCE_DIR  the library's source tree (default: this checkout)
#   BUILD_DIR   where to build (default: SOURCE_DIR/build/uart)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "${1:-$here/../..}" && pwd)
build=${2:-$src/build/uart}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarvik-uart
mkdir -p "$build"
build=$(cd "$build" && pwd)

"$here/fetch.sh" "$cache"

cmake -S "$src" -B "$build/lib" -DBUILD_TESTING=OFF -DTARVIK_EXAMPLES=OFF \
  -DTARVIK_BUILD_TOOLS=ON -DTARVIK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-m32 >/dev/null
cmake --build "$build/lib" -j "$(nproc)" --target tarvik tarvik-print >/dev/null
g++ -m32 -std=c++17 -O2 -Wall -Wextra -I "$src/include" "$here/guest.cpp" \
  -L "$build/lib" -ltarvik -o "$build/guest"
gcc -O2 -Wall -Wextra -shared -fPIC "$here/preload.c" -o "$build/wire.so" -ldl -lpthread

exec python3 "$here/run.py" --cache "$cache" --work "$build" --init "$here/init" \
  --guest "$build/guest" --print "$build/lib/tools/print/tarvik-print" --lib "$(readlink -f "$build/lib/libtarvik.so.1")" \
  --preload "$build/wire.so"
