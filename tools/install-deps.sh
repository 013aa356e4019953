#!/bin/sh
# Installs, from Debian's packages, whatever the build and tests need and the
# machine lacks. Quiet when everything is there.
# "install-deps.sh bench" also tries to add stb_image, the benchmark's
# reference decoder; the benchmark runs without it, so that part never fails.
# "install-deps.sh fuzz" also makes sure clang's libFuzzer runtime is there.
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v clang++ >/dev/null 2>&1 || missing="$missing clang"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/benchmark/benchmark.h ] || missing="$missing libbenchmark-dev"
command -v pkg-config >/dev/null 2>&1 || missing="$missing pkgconf"
[ -f /usr/include/spng.h ] || missing="$missing libspng-dev"
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq $missing; } || exit 1
fi
if [ "$1" = "bench" ] && [ ! -f /usr/include/stb/stb_image.h ]; then
  echo "Installing: libstb-dev (optional, for the benchmark)"
  { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq libstb-dev; } ||
    echo "libstb-dev not installed: the benchmark runs without stb_image"
fi
if [ "$1" = "fuzz" ] && ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  echo "Installing: libclang-rt-dev (libFuzzer)"
  { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq libclang-rt-dev; } || exit 1
fi
exit 0
