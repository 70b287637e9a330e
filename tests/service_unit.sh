#!/bin/bash
# The print service's systemd unit passes systemd-analyze verify, silently,
# in a scratch root that holds the system's units and the installed launcher.
# Usage: tests/service_unit.sh UNIT LAUNCHER
set -euo pipefail
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/bin" "$root/usr/lib/systemd" "$root/etc/systemd/system"
cp -rL /usr/lib/systemd/system "$root/usr/lib/systemd/system" 2>/dev/null || true
cp "$2" "$root/usr/bin/tarvikd"
cp "$1" "$root/etc/systemd/system/tarvikd.service"
# The copies of the system's .wants links are files; systemd says so of each.
said=$(systemd-analyze verify --man=no --root="$root" /etc/systemd/system/tarvikd.service 2>&1 |
  grep -v ' is not a symlink, ignoring\.$' || true)
[ -z "$said" ] || { echo "$said"; exit 1; }
