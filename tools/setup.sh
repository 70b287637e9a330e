#!/usr/bin/env bash
# Installs what the build and the tests need beyond a fresh Debian 12 machine
# with g++, cmake and GoogleTest: the 32-bit toolchain, pkg-config, clang with
# its fuzzer runtime, the GoogleTest sources, QEMU with Python for the serial
# driver stage, nlohmann-json and cairo for the programs, the packaging tools
# (scdoc for the manual pages, dpkg-dev, lintian, fakeroot), the network tools
# (ser2net, socat), for the benchmark and the endurance tests Google Benchmark,
# pyserial and valgrind, for the Python package Debian's pytest, setuptools,
# wheel and venv, for the print service aiohttp and systemd-analyze (which
# checks its unit), and for its example clients curl, Node, a JDK, PHP, Free
# Pascal with its web units, and a headless Chromium. Does nothing when all
# is there.
set -euo pipefail

missing=() bare=() # bare: without recommended packages
echo 'int main(){}' | g++ -m32 -x c++ - -o /dev/null 2>/dev/null || missing+=(g++-multilib)
command -v cmake >/dev/null || missing+=(cmake)
command -v pkg-config >/dev/null || missing+=(pkg-config)
command -v clang++ >/dev/null || missing+=(clang)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
[ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
[ -f /usr/include/cairo/cairo-pdf.h ] || missing+=(libcairo2-dev)
command -v qemu-system-i386 >/dev/null || missing+=(qemu-system-x86)
# qemu-i386 runs the 32-bit programs where the kernel runs none; installed
# without the recommended qemu-user-binfmt, which would register handlers.
command -v qemu-i386 >/dev/null || bare+=(qemu-user)
command -v python3 >/dev/null || missing+=(python3)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || missing+=(libclang-rt-14-dev)
for tool in scdoc:scdoc dpkg-shlibdeps:dpkg-dev lintian:lintian fakeroot:fakeroot \
  ser2net:ser2net socat:socat gzip:gzip man:man-db ss:iproute2 systemd-analyze:systemd; do
  PATH=$PATH:/usr/sbin:/sbin command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
done
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
/usr/bin/python3 -c 'import serial' 2>/dev/null || missing+=(python3 python3-serial)
command -v valgrind >/dev/null || missing+=(valgrind)
for module in pytest:python3-pytest setuptools:python3-setuptools wheel:python3-wheel \
  ensurepip:python3-venv aiohttp:python3-aiohttp; do
  /usr/bin/python3 -c "import ${module%%:*}" 2>/dev/null || missing+=("${module#*:}")
done
# The service's example clients; Debian 12's Node has fetch.
command -v curl >/dev/null || missing+=(curl)
for tool in node:nodejs javac:openjdk-17-jdk-headless php:php-cli fpc:fp-compiler chromium:chromium; do
  command -v "${tool%%:*}" >/dev/null || bare+=("${tool#*:}")
done
ls /usr/lib/*/fpc/*/units/*/fcl-web/fphttpclient.ppu >/dev/null 2>&1 || bare+=(fp-units-fcl)

if [ $((${#missing[@]} + ${#bare[@]})) -gt 0 ]; then
  echo "installing: ${missing[*]} ${bare[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  # A mirror caught mid-sync fails the update of one list; the lists at hand
  # may still hold every package, and the install below tells.
  $sudo apt-get update -qq || echo "apt-get update failed; installing from the lists at hand" >&2
  [ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  [ ${#bare[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${bare[@]}" >/dev/null
fi
