#!/usr/bin/env bash
# Builds the library and runs every test three ways: a normal 64-bit build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and a 32-bit x86
# build, the target the library is made for.
# Usage: tools/test.sh [normal|sanitize|m32]...   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

jobs=$(nproc)
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(normal sanitize m32)

run() {
  local name=$1
  shift
  echo "==== $name build"
  cmake -S . -B "build/$name" -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && ctest --output-on-failure -j "$jobs")
}

for build in "${builds[@]}"; do
  case $build in
    normal) run normal ;;
    sanitize)
      san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run sanitize "-DCMAKE_CXX_FLAGS=$san" "-DCMAKE_C_FLAGS=$san" ;;
    m32) run m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 ;;
    *) echo "unknown build: $build" >&2; exit 2 ;;
  esac
done
echo "==== all builds passed: ${builds[*]}"
