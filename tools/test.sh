#!/usr/bin/env bash
# Builds the library and runs every test three ways: a normal 64-bit build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and a 32-bit x86
# build, the target the library is made for. Then runs each fuzz target for a
# while under libFuzzer with the same sanitizers (FUZZ_SECONDS, default 30).
# Then the uart stage runs the 32-bit library on a real serial driver in a
# QEMU guest (tests/uart/run.sh). Last, the package stage makes the Debian
# packages, checks them with lintian, installs and removes them. Warnings are
# errors in every build.
# The 32-bit programs run natively where the kernel runs them, else under
# qemu-i386 (a probe tells; nothing is registered with the kernel).
# Usage: tools/test.sh [normal|sanitize|m32|fuzz|uart|package]...   (default: all)
#   TARVIK_RUN32=native|qemu-i386 forces the way the 32-bit programs run.
set -euo pipefail
cd "$(dirname "$0")/.."
run32=${TARVIK_RUN32:-}
case $run32 in
  "" | native | qemu-i386) ;;
  *) echo "TARVIK_RUN32 must be native or qemu-i386, not: $run32" >&2; exit 2 ;;
esac
tools/setup.sh

if [ -z "$run32" ]; then
  probe=$(mktemp -d)
  echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o "$probe/probe"
  # Braces, so that the shell's own complaint about it is silenced too.
  if { "$probe/probe"; } 2>/dev/null; then run32=native; else run32=qemu-i386; fi
  rm -rf "$probe"
fi
# The m32 build puts the emulator in front of every program it runs.
emulator=""
if [ "$run32" = native ]; then
  echo "==== 32-bit programs run natively"
else
  emulator=qemu-i386
  echo "==== 32-bit programs run under qemu-i386"
fi

jobs=$(nproc)
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(normal sanitize m32 fuzz uart package)

run() {
  local name=$1
  shift
  echo "==== $name build"
  cmake -S . -B "build/$name" -DBUILD_TESTING=ON -DTARVIK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && ctest --output-on-failure -j "$jobs")
}

fuzz() {
  echo "==== fuzz build"
  local flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
  cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF -DTARVIK_FUZZ=ON -DTARVIK_WERROR=ON "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
  local target
  for target in date amount ini decoder; do
    cmake --build build/fuzz -j "$jobs" --target "${target}_fuzz"
    # New inputs go to a scratch folder; the seeds in the repo stay as they are.
    mkdir -p "build/fuzz/corpus/$target"
    echo "---- fuzzing $target for ${FUZZ_SECONDS:-30} s"
    local log="build/fuzz/$target.log"
    if ! "build/fuzz/fuzz/${target}_fuzz" -max_total_time="${FUZZ_SECONDS:-30}" -rss_limit_mb=8192 \
      -print_final_stats=1 "build/fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
      tail -n 80 "$log"
      echo "fuzz target $target failed" >&2
      exit 1
    fi
    tail -n 6 "$log"
  done
}

for build in "${builds[@]}"; do
  case $build in
    normal) run normal ;;
    sanitize)
      san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run sanitize "-DCMAKE_CXX_FLAGS=$san" "-DCMAKE_C_FLAGS=$san" ;;
    m32) run m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 "-DTARVIK_EMULATOR=$emulator" ;;
    fuzz) fuzz ;;
    uart)
      echo "==== uart stage"
      tests/uart/run.sh ;;
    package)
      echo "==== package build"
      tools/package.sh
      tests/package/check.sh ;;
    *) echo "unknown build: $build" >&2; exit 2 ;;
  esac
done
echo "==== all builds passed: ${builds[*]}"
