#!/usr/bin/env bash
# Fetches the guest's kernel and busybox (32-bit Debian packages, unpacked,
# never installed) into the cache directory given as $1, once.
set -euo pipefail
cache=$1
[ -f "$cache/ready" ] && exit 0
mkdir -p "$cache"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
if ! apt-cache show busybox-static:i386 >/dev/null 2>&1; then
  $sudo apt-get update -qq
fi
# The unversioned kernel package is only a metapackage; take the versioned
# image it names.
kernel=$(apt-cache depends linux-image-686:i386 | sed -n 's/^ *Depends: \(linux-image-6\.1\.0-[0-9]*-686\)\(:i386\)\?$/\1/p' | head -n 1)
[ -n "$kernel" ] || { echo "no versioned 686 kernel package found" >&2; exit 1; }
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work" # apt fetches as its own user where it can
as_root=()
[ "$(id -u)" -ne 0 ] || as_root=(-o APT::Sandbox::User=root)
(cd "$work" && apt-get download -qq "${as_root[@]}" "$kernel:i386" busybox-static:i386 >/dev/null)
mkdir -p "$work/root"
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
cp "$work"/root/boot/vmlinuz-* "$cache/vmlinuz"
cp "$work/root/bin/busybox" "$cache/busybox"
echo "$kernel" >"$cache/ready"
