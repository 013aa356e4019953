#!/bin/sh
# Installs, from Debian's packages, whatever the chosen build needs and the
# machine lacks. Quiet when everything is there.
#   install-deps.sh          the release build (make run): compiler and CMake
#   install-deps.sh test     and GoogleTest, groff for the manual page's check
#                            and python3-jsonschema for the manifests' (make
#                            test, make test-all)
#   install-deps.sh clang    and clang and GoogleTest (make clang)
#   install-deps.sh bench    and Google Benchmark, and the encoders it measures
#                            against (libsquish, linked in; astcenc, nvcompress,
#                            oiiotool to decode their files; maketx for the DDS
#                            mip chain); stb_image too, the
#                            benchmark's reference decoder, where it can be had
#                            (never fails)
#   install-deps.sh fuzz     and clang with its libFuzzer runtime
#   install-deps.sh browser  Chromium, for the viewer's test (make test-all)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
missing=""
need_command() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
need_file() { [ -e "$1" ] || missing="$missing $2"; }
need_python_module() { python3 -c "import $1" >/dev/null 2>&1 || missing="$missing $2"; }
need_pkg() { pkg-config --exists "$1" 2>/dev/null || missing="$missing $2"; }

# What every build needs, the release build included.
need_command cmake cmake
need_command g++ g++
# The tool's own libraries: PNG (libspng), JPEG (TurboJPEG), both through pkg-config, and zlib.
need_command pkg-config pkg-config
need_file /usr/include/spng.h libspng-dev
need_file /usr/include/turbojpeg.h libturbojpeg0-dev
# GPU textures: KTX2 supercompression (libzstd) and ASTC blocks (libastcenc).
need_file /usr/include/zstd.h libzstd-dev
need_file /usr/include/astcenc.h libastcenc-dev
# zlib, for the default PNG atlas's checksums.
need_file /usr/include/zlib.h zlib1g-dev
# OpenEXR (read and written) and TIFF (read).
need_pkg OpenEXR libopenexr-dev
need_pkg libtiff-4 libtiff-dev

case "$1" in
  test) need_file /usr/include/gtest/gtest.h libgtest-dev; need_command groff groff-base
        need_python_module jsonschema python3-jsonschema; need_command exrheader openexr ;;
  clang) need_command clang++ clang; need_file /usr/include/gtest/gtest.h libgtest-dev ;;
  bench) need_file /usr/include/benchmark/benchmark.h libbenchmark-dev
         # The block encoders' peers, measured in the same run, and the DDS
         # mip chain's (nvcompress, maketx).
         need_file /usr/include/squish.h libsquish-dev
         need_command astcenc astcenc; need_command nvcompress libnvtt-bin
         need_command oiiotool openimageio-tools  # decodes the BC files of both; maketx comes with it
         # The OpenEXR peers: exrmaketiled (openexr) and maketx (openimageio-tools).
         need_command exrmaketiled openexr; need_command maketx openimageio-tools ;;
  fuzz) need_command clang++ clang ;;
  browser) need_command chromium chromium ;;
esac

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
