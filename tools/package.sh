#!/usr/bin/env bash
# Makes the Debian packages for amd64 and i386 (the -m32 build) with CPack:
# libtarvik1, libtarvik-dev and, when the programs are built, tarvik-tools.
# Then adds what CPack cannot write: Multi-Arch: same for the library packages
# and an ldconfig trigger instead of CPack's maintainer scripts. Makes
# python3-tarvik (Architecture: all) from bindings/python. Runs lintian.
# The packages land in build/packages/.
# Usage: tools/package.sh [amd64|i386]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 i386)
out=build/packages
# One date for everything made from this commit, so both architectures'
# shared files (manual pages, changelogs) are byte-identical.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

build() {
  local arch=$1 triplet m32=""
  case $arch in
    amd64) triplet=x86_64-linux-gnu ;;
    i386) triplet=i386-linux-gnu m32=-m32 ;;
    *) echo "unknown architecture: $arch" >&2; exit 2 ;;
  esac
  local dir=build/package-$arch
  # Debian's hardening flags. The multiarch directory is passed: -m32 finds it
  # by itself only when libc6:i386 is installed.
  local cxxflags ldflags
  cxxflags="$m32 $(DEB_HOST_ARCH=$arch dpkg-buildflags --get CPPFLAGS) $(DEB_HOST_ARCH=$arch dpkg-buildflags --get CXXFLAGS)"
  ldflags="$(DEB_HOST_ARCH=$arch dpkg-buildflags --get LDFLAGS) -Wl,-z,now"
  echo "==== packages for $arch"
  rm -rf "$dir/packages"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_LIBDIR="lib/$triplet" -DBUILD_TESTING=OFF -DTARVIK_EXAMPLES=OFF \
    -DTARVIK_BUILD_TOOLS=ON -DTARVIK_PACKAGING=ON -DTARVIK_DEB_ARCH="$arch" -DTARVIK_WERROR=ON \
    "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  (cd "$dir" && cpack -G DEB >/dev/null)
  local deb
  for deb in "$dir"/packages/*.deb; do
    repack "$deb"
    mv "$deb" "$out/"
  done
}

# CPack 3.25 writes no Multi-Arch field, and runs ldconfig from postinst and
# postrm scripts, which lintian flags: a trigger does the same job.
repack() {
  local deb=$1 tree package
  tree=$(mktemp -d)
  chmod 755 "$tree"
  dpkg-deb -R "$deb" "$tree"
  package=$(sed -n 's/^Package: //p' "$tree/DEBIAN/control")
  case $package in
    libtarvik1)
      rm -f "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
      printf 'activate-noawait ldconfig\n' >"$tree/DEBIAN/triggers"
      chmod 644 "$tree/DEBIAN/triggers"
      ;;
  esac
  case $package in
    libtarvik1 | libtarvik-dev) sed -i '/^Architecture:/a Multi-Arch: same' "$tree/DEBIAN/control" ;;
  esac
  dpkg-deb --root-owner-group -b "$tree" "$deb" >/dev/null
  rm -rf "$tree"
}

# The Python package, the same for every architecture: setuptools builds a
# wheel from a copy of bindings/python (it writes its scratch files beside
# the sources), and the wheel is unpacked where Debian's Python looks, with
# its .dist-info, which carries the pytest11 entry point.
python_package() {
  local made=$1 tree scratch lib version maintainer
  lib=$(ls "$out"/libtarvik1_*_"$made".deb)
  version=$(dpkg-deb -f "$lib" Version)
  maintainer=$(dpkg-deb -f "$lib" Maintainer)
  tree=$(mktemp -d)
  scratch=$(mktemp -d)
  cp -r bindings/python/pyproject.toml bindings/python/tarvik "$scratch/"
  if ! (cd "$scratch" && /usr/bin/python3 -c \
    'import sys; from setuptools import build_meta; build_meta.build_wheel(sys.argv[1])' wheel) \
    >"$scratch/log" 2>&1; then
    cat "$scratch/log"
    exit 1
  fi
  local site=$tree/usr/lib/python3/dist-packages doc=$tree/usr/share/doc/python3-tarvik
  mkdir -p "$site" "$doc" "$tree/usr/share/lintian/overrides" "$tree/DEBIAN"
  /usr/bin/python3 -m zipfile -e "$scratch"/wheel/tarvik-*.whl "$site"
  cp "build/package-$made/debian-doc/copyright" "build/package-$made/debian-doc/changelog.Debian.gz" "$doc/"
  cp packaging/python3-tarvik.lintian-overrides "$tree/usr/share/lintian/overrides/python3-tarvik"
  # Byte-compiled on install and cleaned on removal, as Debian's Python
  # packages are, so that no __pycache__ is left behind.
  cp packaging/python3-tarvik.postinst "$tree/DEBIAN/postinst"
  cp packaging/python3-tarvik.prerm "$tree/DEBIAN/prerm"
  chmod -R u=rwX,go=rX "$tree"
  chmod 755 "$tree/DEBIAN/postinst" "$tree/DEBIAN/prerm"
  (cd "$tree" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
  cat >"$tree/DEBIAN/control" <<EOF
Package: python3-tarvik
Source: tarvik
Version: $version
Architecture: all
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$tree" | cut -f1)
Depends: python3:any, libtarvik1 (>= ${version%-*})
Recommends: tarvik-tools
Section: python
Priority: optional
Description: Python interface to the tarvik check and document printer library
 The Python package tarvik drives a document printer on a serial line
 through libtarvik: Brazilian bank checks, text lines, authentication
 prints and text on the back of a document. It checks every argument
 before the port is opened, raises an exception for every failure, lets
 threads share a printer, and bounds the waits for the printer.
 .
 Its pytest plugin gives the fixture virtual_printer, which plays the
 printer with tarvik-virtual (package tarvik-tools).
EOF
  dpkg-deb --root-owner-group -b "$tree" "$out/python3-tarvik_${version}_all.deb" >/dev/null
  rm -rf "$tree" "$scratch"
}

rm -rf "$out"
mkdir -p "$out"
for arch in "${arches[@]}"; do
  build "$arch"
done
python_package "${arches[0]}"
ls -1 "$out"
echo "==== lintian"
lintian --fail-on error,warning --info "$out"/*.deb
echo "==== packages made and lintian clean"
