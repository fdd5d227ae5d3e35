#!/bin/bash
# Makes the release archives in dist/: builds addsound in Release for this
# Linux machine and, with Debian's MinGW-w64 cross compiler, for 32-bit
# Windows, and packs each with CPack into addsound-VERSION-Linux-ARCH.tar.gz
# and addsound-VERSION-win32.zip. First installs from Debian's packages what
# it needs and this machine lacks, as test.sh does.
set -euo pipefail
cd "$(dirname "$0")"

packaging/install-missing.sh cmake make g++ g++-mingw-w64-i686
rm -rf build-release build-release-win dist

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build-release -j"$(nproc)"
cpack --config build-release/CPackConfig.cmake -B "$PWD/dist"

cmake -S . -B build-release-win -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
cmake --build build-release-win -j"$(nproc)"
cpack --config build-release-win/CPackConfig.cmake -B "$PWD/dist"

rm -rf dist/_CPack_Packages
ls -l dist
