#!/usr/bin/env bash
# Installs what the build and the tests need beyond a fresh Debian 12 machine
# with g++, cmake and GoogleTest. The source package's build dependencies
# come from debian/control (apt-get build-dep): what the library, the
# programs (cairo too), python3-tarvik and the tests (the print service's
# too: aiohttp, systemd-analyze) are built with. Beside them: the
# 32-bit toolchain (below), clang with its fuzzer runtime, QEMU with Python
# for the serial driver stage, lintian and man-db for the package stage,
# Google Benchmark and pyserial for the benchmark, venv, and for the print
# service's example clients curl, Node, a JDK, PHP, Free Pascal with its web
# units and a headless Chromium. Does nothing when all is there.
# Usage: tools/setup.sh [all|demo]   (default: all)
#   demo: what tools/demo.sh builds with, and nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == *" installed" ]]; }
apt() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -y -qq "$@" >/dev/null; }

case ${1:-all} in
  all) ;;
  demo)
    # The build dependencies that the profiles nocheck and pkg.tarvik.demo
    # leave (debian/control), less debhelper-compat: that one is the
    # packaging's, and dh takes no build profile on it. Versions are dropped:
    # Debian 12's meet them.
    command -v dpkg-checkbuilddeps >/dev/null || { $sudo apt-get update -qq; apt install dpkg-dev; }
    unmet=$(dpkg-checkbuilddeps -B -P nocheck,pkg.tarvik.demo 2>&1 >/dev/null |
      sed -n 's/^.*Unmet build dependencies: //p' | sed -E 's/ *(\([^)]*\)|\[[^]]*\]|<[^>]*>)//g; s/ *\| *[^ ]+//g' || true)
    read -ra missing <<<"${unmet//debhelper-compat/}"
    [ ${#missing[@]} -gt 0 ] || exit 0
    echo "installing: ${missing[*]}"
    # The lists there are first; an update only if they cannot give them.
    apt install "${missing[@]}" 2>/dev/null || { $sudo apt-get update -qq; apt install "${missing[@]}"; }
    exit 0 ;;
  *) echo "usage: tools/setup.sh [all|demo]" >&2; exit 2 ;;
esac

# 32 bits two ways. The m32 stage builds with g++ -m32, through gcc's own
# multilib package; the i386 packages are cross-built with Debian's cross
# toolchain, whose compilers conflict with gcc-multilib. That package only
# adds the link /usr/include/asm, which linux-libc-dev:i386 stands in for
# where -m32 looks (/usr/include/i386-linux-gnu). libc6:i386 and
# libstdc++6:i386 make dpkg-shlibdeps name the i386 packages of the libraries
# the programs link, and not multilib's copies in /usr/lib32.
missing=() bare=() # bare: without recommended packages
headers=()         # linux-libc-dev for both architectures, at one version
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
gcc_major=$(g++ -dumpversion | cut -d. -f1)
printf '#include <sys/ioctl.h>\n#include <string>\nint main(){ return std::string("x").size() - 1; }\n' |
  g++ -m32 -x c++ - -o /dev/null 2>/dev/null || missing+=("g++-$gcc_major-multilib")
command -v i686-linux-gnu-g++ >/dev/null || missing+=(crossbuild-essential-i386)
installed linux-libc-dev:i386 || headers=(linux-libc-dev linux-libc-dev:i386)
for lib in libc6:i386 libstdc++6:i386; do installed "$lib" || missing+=("$lib"); done

command -v dpkg-checkbuilddeps >/dev/null || missing+=(dpkg-dev)
command -v clang++ >/dev/null || missing+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || missing+=(libclang-rt-14-dev)
command -v qemu-system-i386 >/dev/null || missing+=(qemu-system-x86)
# qemu-i386 runs the 32-bit programs where the kernel runs none; installed
# without the recommended qemu-user-binfmt, which would register handlers.
command -v qemu-i386 >/dev/null || bare+=(qemu-user)
command -v python3 >/dev/null || missing+=(python3)
for tool in lintian:lintian man:man-db; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
/usr/bin/python3 -c 'import serial' 2>/dev/null || missing+=(python3 python3-serial)
/usr/bin/python3 -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
build_deps=0
command -v dpkg-checkbuilddeps >/dev/null && dpkg-checkbuilddeps 2>/dev/null || build_deps=1
# The service's example clients; Debian 12's Node has fetch.
command -v curl >/dev/null || missing+=(curl)
for tool in node:nodejs javac:openjdk-17-jdk-headless php:php-cli fpc:fp-compiler chromium:chromium; do
  command -v "${tool%%:*}" >/dev/null || bare+=("${tool#*:}")
done
ls /usr/lib/*/fpc/*/units/*/fcl-web/fphttpclient.ppu >/dev/null 2>&1 || bare+=(fp-units-fcl)

if [ $((${#missing[@]} + ${#bare[@]} + ${#headers[@]} + build_deps)) -gt 0 ]; then
  echo "installing: ${missing[*]} ${bare[*]} ${headers[*]}$([ $build_deps = 0 ] || echo ' and the build dependencies')"
  # An index that fails to download (a mirror in the middle of a sync, say)
  # leaves the lists there are; what they cannot give fails below.
  $sudo apt-get update -qq || echo "apt-get update failed; going on with the package lists there are" >&2
  if [ ${#headers[@]} -gt 0 ]; then
    # Both architectures' headers share files, so they are installed at one
    # version: the newest that the lists hold for both, as an i386 index can
    # lag behind the amd64 one.
    versions() { apt-cache madison "$1" | cut -d'|' -f2 | tr -d ' '; } # newest first
    version=$(versions linux-libc-dev:amd64 | grep -Fx -m1 -f <(versions linux-libc-dev:i386) || true)
    [ -n "$version" ] || { echo "no version of linux-libc-dev for both amd64 and i386" >&2; exit 1; }
    headers=("linux-libc-dev=$version" "linux-libc-dev:i386=$version")
  fi
  # One transaction: crossbuild-essential-i386 removes gcc-multilib, whose
  # link the i386 headers replace.
  [ $((${#missing[@]} + ${#headers[@]})) -eq 0 ] || apt install --allow-downgrades "${missing[@]}" "${headers[@]}"
  [ ${#bare[@]} -eq 0 ] || apt install --no-install-recommends "${bare[@]}"
  [ $build_deps = 0 ] || apt build-dep ./
fi
