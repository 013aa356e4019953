#!/bin/sh
# Installs, from Debian's packages, whatever the build and tests need and the
# machine lacks. Quiet when everything is there.
missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v clang++ >/dev/null 2>&1 || missing="$missing clang"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/benchmark/benchmark.h ] || missing="$missing libbenchmark-dev"
[ -n "$missing" ] || exit 0
echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq && $SUDO apt-get install -y -qq $missing
