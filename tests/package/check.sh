#!/usr/bin/env bash
# Checks the packages that tools/package.sh made in build/packages: their
# contents for each architecture, that their dependencies are packages of
# their own architecture, the files that both architectures share. Then
# installs the amd64 packages, python3-tarvik and the i386 library packages
# side by side with dpkg, builds and runs a consumer through find_package and
# pkg-config with no LD_LIBRARY_PATH, and a 32-bit one through the i386
# tarvik.pc (under qemu-i386, which runs it on any kernel), runs tarvik-print
# --help, imports the Python package with Debian's Python and prints through
# its pytest fixture, and removes the packages again.
set -euo pipefail
cd "$(dirname "$0")/../.."
debs=build/packages
work=$(mktemp -d)
installed=()
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
cleanup() {
  [ ${#installed[@]} -eq 0 ] || $sudo dpkg -r "${installed[@]}" >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package check: $*" >&2
  exit 1
}

version=$(dpkg-deb -f "$(ls $debs/libtarvik1_*_amd64.deb)" Version)
upstream=${version%-*}
tools=$(ls $debs/tarvik-tools_*_amd64.deb 2>/dev/null || true)
python=$debs/python3-tarvik_${version}_all.deb
[ -f "$python" ] || fail "no python3-tarvik package"
[ "$(dpkg-deb -f "$python" Architecture)" = all ] || fail "python3-tarvik is not Architecture: all"
[[ "$(dpkg-deb -f "$python" Depends)" == *"libtarvik1 "* ]] || fail "python3-tarvik does not depend on libtarvik1"
dpkg-deb --fsys-tarfile "$python" |
  tar -xO ./usr/lib/python3/dist-packages/tarvik-$upstream.dist-info/entry_points.txt |
  grep -qx 'tarvik = tarvik.pytest_plugin' || fail "python3-tarvik carries no pytest11 entry point"

# The names of the packages that DEB depends on, one a line.
depends_of() { dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | awk '{print $1}'; }

for arch in amd64 i386; do
  case $arch in amd64) triplet=x86_64-linux-gnu ;; i386) triplet=i386-linux-gnu ;; esac
  lib=$debs/libtarvik1_${version}_$arch.deb
  dev=$debs/libtarvik-dev_${version}_$arch.deb
  [ -f "$lib" ] && [ -f "$dev" ] || fail "no $arch packages"
  lib_files=$(dpkg-deb -c "$lib")
  dev_files=$(dpkg-deb -c "$dev")
  for f in ./usr/lib/$triplet/libtarvik.so.$upstream ./usr/lib/$triplet/libtarvik.so.1 \
    ./usr/lib/$triplet/tarvik1/tarvik-worker ./usr/share/man/man5/tarvik.ini.5.gz \
    ./usr/share/doc/libtarvik1/copyright; do
    grep -q " $f\( ->.*\)\?$" <<<"$lib_files" || fail "$lib lacks $f"
  done
  for f in ./usr/include/tarvik.h ./usr/lib/$triplet/libtarvik.so ./usr/lib/$triplet/pkgconfig/tarvik.pc \
    ./usr/lib/$triplet/cmake/tarvik/tarvikConfig.cmake ./usr/share/doc/libtarvik-dev/copyright; do
    grep -q " $f\( ->.*\)\?$" <<<"$dev_files" || fail "$dev lacks $f"
  done
  for deb in "$lib" "$dev"; do
    [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] || fail "$deb is not Multi-Arch: same"
  done
  [ "$(dpkg-deb -f "$lib" Architecture)" = "$arch" ] || fail "$lib has the wrong architecture"
  arch_debs=("$lib" "$dev")
  if [ -n "$tools" ]; then
    arch_debs+=("$debs/tarvik-tools_${version}_$arch.deb")
    tool_files=$(dpkg-deb -c "$debs/tarvik-tools_${version}_$arch.deb")
    for program in tarvik-print tarvik-virtual; do
      if grep -q " ./usr/bin/$program$" <<<"$tool_files"; then
        grep -q " ./usr/share/man/man1/$program.1.gz$" <<<"$tool_files" || fail "$program has no manual page"
      fi
    done
  fi
  # Each dependency is a package of this architecture, such as libc6:i386,
  # and not multilib's amd64 copy (libc6-i386, lib32stdc++6), which
  # dpkg-shlibdeps finds where the i386 one is missing.
  for deb in "${arch_debs[@]}"; do
    for name in $(depends_of "$deb"); do
      case $name in libtarvik1 | libtarvik-dev) continue ;; esac
      dpkg-query -W "$name:$arch" >/dev/null 2>&1 ||
        fail "$deb depends on $name, which is no installed $arch package"
    done
  done
  mkdir -p "$work/$arch"
  dpkg-deb -R "$lib" "$work/$arch/lib"
  dpkg-deb -R "$dev" "$work/$arch/dev"
  # Each library the shared library links comes from a package it depends on.
  depends=$(depends_of "$lib")
  dynamic=$(readelf -d "$work/$arch/lib/usr/lib/$triplet/libtarvik.so.$upstream")
  for needed in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic"); do
    case $needed in
      libc.so.6 | libm.so.6) package=libc6 ;;
      libstdc++.so.6) package=libstdc++6 ;;
      libgcc_s.so.1) package=libgcc-s1 ;;
      *) fail "$lib links $needed, which this check does not know" ;;
    esac
    grep -qx "$package" <<<"$depends" || fail "$lib links $needed but does not depend on $package"
  done
  # The build held the library to it (dpkg-gensymbols -c4).
  [ -s "$work/$arch/lib/DEBIAN/symbols" ] || fail "$lib has no symbols file"
done

# Multi-Arch: same packages share their paths outside the multiarch directory;
# dpkg accepts that only when the files are byte-identical.
for package in lib dev; do
  shared() { grep -v ' usr/lib/[^/]*-linux-gnu/' "$work/$1/$package/DEBIAN/md5sums" | sort; }
  [ "$(shared amd64)" = "$(shared i386)" ] || fail "lib$package: shared files differ between architectures"
done
echo "---- contents, dependencies and shared files checked for amd64 and i386"

# Install test.
# The print service: Architecture all, on the package and the library.
service=$debs/tarvikd_${version}_all.deb
[ -f "$service" ] || fail "no tarvikd package"
[ "$(dpkg-deb -f "$service" Architecture)" = all ] || fail "tarvikd is not Architecture: all"
for dep in "python3-tarvik (= $version)" python3-aiohttp "libtarvik1 "; do
  [[ "$(dpkg-deb -f "$service" Depends)" == *"$dep"* ]] || fail "tarvikd does not depend on $dep"
done
[ "$(dpkg-deb -f "$service" Recommends)" = tarvik-tools ] || fail "tarvikd does not recommend tarvik-tools"

for p in libtarvik1 libtarvik-dev tarvik-tools python3-tarvik tarvikd; do
  if [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) == *" installed" ]]; then
    fail "$p is installed already; remove it first"
  fi
done
pkgs=("$python" "$service")
installed=(tarvikd python3-tarvik)
[ -z "$tools" ] || { pkgs+=("$tools"); installed=(tarvik-tools "${installed[@]}"); }
for arch in amd64 i386; do
  pkgs+=("$debs/libtarvik1_${version}_$arch.deb" "$debs/libtarvik-dev_${version}_$arch.deb")
  installed+=("libtarvik-dev:$arch" "libtarvik1:$arch")
done
$sudo dpkg -i "${pkgs[@]}" >/dev/null
unset LD_LIBRARY_PATH TARVIK_LIBRARY TARVIK_WORKER TARVIK_VIRTUAL PYTHONPATH
cmake -S tests/consumer -B "$work/cmake" >/dev/null
cmake --build "$work/cmake" >/dev/null
[ "$("$work/cmake/consumer")" = "consumer ok" ] || fail "find_package consumer"
# shellcheck disable=SC2046
g++ tests/consumer/main.cpp $(pkg-config --cflags --libs tarvik) -o "$work/pc-consumer"
[ "$("$work/pc-consumer")" = "consumer ok" ] || fail "pkg-config consumer"
# shellcheck disable=SC2046
g++ -m32 tests/consumer/main.cpp $(PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig pkg-config \
  --cflags --libs tarvik) -o "$work/pc-consumer32"
[ "$(qemu-i386 "$work/pc-consumer32")" = "consumer ok" ] || fail "32-bit pkg-config consumer"
man -w tarvik.ini >/dev/null || fail "no tarvik.ini(5)"
if [ -n "$tools" ] && command -v tarvik-print >/dev/null; then
  tarvik-print --help >/dev/null || fail "tarvik-print --help"
  echo "---- tarvik-print --help ran"
fi
# The Python package finds the system's library, and pytest its fixture.
/usr/bin/python3 -c 'import tarvik; tarvik.Printer()' || fail "python3-tarvik does not import or load"
mkdir "$work/python"
fixtures=$(cd "$work/python" && /usr/bin/python3 -m pytest -p no:cacheprovider --fixtures)
grep -q '^virtual_printer' <<<"$fixtures" || fail "pytest --fixtures does not list virtual_printer"
if [ -n "$tools" ]; then
  cat >"$work/python/test_installed.py" <<'EOF'
import tarvik
def test_a_line(virtual_printer):
    tarvik.Printer(directory=virtual_printer.directory).text("INSTALLED")
    assert virtual_printer.wait(1)[0]["text"] == "INSTALLED"
EOF
  (cd "$work/python" && /usr/bin/python3 -m pytest -q -p no:cacheprovider) >/dev/null ||
    fail "the installed fixture does not print"
fi
echo "---- python3-tarvik imported, its fixture listed and printing"
# The service's user, its token for the clients, its unit and its program.
[ "$(stat -c '%a %U %G' /etc/tarvikd/token)" = "640 root tarvikd" ] || fail "no token 0640 root:tarvikd"
id -nG tarvikd | grep -qw dialout || fail "the user tarvikd is not in dialout"
systemd-analyze verify /lib/systemd/system/tarvikd.service || fail "tarvikd.service does not verify"
tarvikd --help >/dev/null || fail "tarvikd --help"
man -w tarvikd >/dev/null || fail "no tarvikd(8)"
echo "---- tarvikd installed with its user, token and unit"
$sudo dpkg -r "${installed[@]}" >/dev/null
$sudo dpkg --purge tarvikd >/dev/null
installed=()
[ ! -e /etc/tarvikd/token ] || fail "purging tarvikd left its token"
[ ! -e /usr/lib/python3/dist-packages/tarvik ] || fail "removal left the Python package"
[ ! -e /usr/include/tarvik.h ] || fail "removal left the header"
if ls /usr/lib/*-linux-gnu/libtarvik.so* >/dev/null 2>&1; then fail "removal left the library"; fi
echo "---- installed side by side with i386, consumed without LD_LIBRARY_PATH, removed"
