#!/usr/bin/env bash
# Shows that the serial driver stage catches real faults: builds broken
# copies of the library, one line changed each, from a temporary copy of the
# source, and runs the stage on each. Every copy must fail it.
# Usage: tests/uart/broken.sh   (not part of the default test run)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# name | sed expression applied to src/link/serial.cpp
faults=(
  "restore with TCSANOW|s/tcsetattr(fd, TCSAFLUSH, &tsave)/tcsetattr(fd, TCSANOW, \&tsave)/"
  "no CRTSCTS|s/CS8 | CREAD | CLOCAL | CRTSCTS;/CS8 | CREAD | CLOCAL;/"
  "wrong speed|s/B9600/B19200/g"
  "no restore|s/    if (!tsave_valid) return !drop;/    return !drop;/"
  "nested close keeps its output|s/            tcflush(fd, TCOFLUSH);/            (void)fd;/"
)

status=0
for fault in "${faults[@]}"; do
  name=${fault%%|*}
  expr=${fault#*|}
  copy="$tmp/src"
  rm -rf "$copy"
  mkdir -p "$copy"
  tar -C "$repo" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
  sed -i "$expr" "$copy/src/link/serial.cpp"
  if cmp -s "$repo/src/link/serial.cpp" "$copy/src/link/serial.cpp"; then
    echo "!! $name: the change did not apply; update its expression"
    status=1
    continue
  fi
  echo "==== $name"
  diff "$repo/src/link/serial.cpp" "$copy/src/link/serial.cpp" | grep '^[<>]' || true
  if "$here/run.sh" "$copy" "$tmp/build" >"$tmp/out" 2>&1; then
    echo "!! $name: the stage passed"
    status=1
  else
    sed -n '/^uart: FAILED/,/^----/p' "$tmp/out" | grep -v '^----'
  fi
  rm -rf "$tmp/build"
done
[ $status -eq 0 ] && echo "==== every broken copy failed the stage"
exit $status
