#!/usr/bin/env bash
# Builds the library, the demo application and the virtual printer, then runs
# the demo against the virtual printer: shows each command as the printer
# decodes it, and draws the printed document and check as an SVG picture in
# the build directory. Leaves nothing else behind.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh demo
build=build/demo
# Without the tests, the benchmark and cairo, which the demo does not use and
# tools/setup.sh demo does not install: the picture is SVG.
cmake -S . -B "$build" -DBUILD_TESTING=OFF -DTARVIK_BENCH=OFF -DTARVIK_CAIRO=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target demo tarvik-virtual >/dev/null

# The commands that examples/demo.cpp sends: the check's nine fields, two
# front lines, an authentication, back-side mode on, two back lines, off,
# and a line feed command.
commands=17
picture="$PWD/$build/session.svg"
work=$(mktemp -d /tmp/tarvik-demo-XXXXXX)
printer=""
cleanup() {
  if [ -n "$printer" ]; then kill "$printer" 2>/dev/null || true; wait "$printer" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The application's own tarvik.ini, with a bank line; the printer points its
# port entry at itself while it runs and puts the file back afterwards.
printf 'Porta=ttyS0\n341 06,14,08,06,06,05,05\n' >"$work/tarvik.ini"
mkfifo "$work/out"
"$build/tools/virtual-printer/tarvik-virtual" --dir "$work" --count "$commands" \
  --svg "$picture" >"$work/out" &
printer=$!
exec 3<"$work/out"
read -r ready <&3
echo "$ready"
cat <&3 &
shown=$!
if ! (cd "$work" && "$OLDPWD/$build/examples/demo"); then
  echo "the demo application failed" >&2
  exit 1
fi
wait "$printer"
printer=""
wait "$shown"
exec 3<&-
echo
echo "picture: $picture"
