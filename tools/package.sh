#!/usr/bin/env bash
# Builds the Debian packages of debian/ with dpkg-buildpackage, from an
# export of the tracked files (git archive), so that build/ and the other
# leftovers of a test run never enter the source package: on this machine's
# architecture the source package, python3-tarvik and the native packages,
# then for each other architecture its packages, cross-built. Builds with the
# nocheck profile, since tools/test.sh runs every test suite already. Then
# runs lintian on the source and every package. All lands in build/packages/.
# Usage: tools/package.sh [amd64|i386]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 i386)
native=$(dpkg --print-architecture)
out=build/packages
version=$(dpkg-parsechangelog -S Version)
tree=$out/tarvik-$version
rm -rf "$out"
mkdir -p "$out"
# The tracked files as they are now, changes not yet committed included.
snapshot=$(git stash create)
git archive --prefix="tarvik-$version/" "${snapshot:-HEAD}" | tar -x -C "$out"

for arch in "${arches[@]}"; do
  echo "==== packages for $arch"
  if [ "$arch" = "$native" ]; then
    how=(-Pnocheck)
  else
    how=(-B "-a$arch" -Pnocheck,cross)
  fi
  # The system's own PATH: pybuild calls python3.X by name, which another
  # Python earlier on PATH would answer.
  if ! (cd "$tree" && env -u PYTHONPATH -u PYTHONHOME PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc "-j$(nproc)" "${how[@]}") \
    >"$out/build-$arch.log" 2>&1; then
    tail -n 60 "$out/build-$arch.log"
    echo "dpkg-buildpackage failed for $arch (all of it in $out/build-$arch.log)" >&2
    exit 1
  fi
done
rm -rf "$tree"
ls -1 "$out"
echo "==== lintian"
lintian --pedantic --fail-on error,warning,pedantic --info "$out"/*.changes
echo "==== packages made and lintian clean"
