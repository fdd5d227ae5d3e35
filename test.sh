#!/bin/bash
# Builds addsound and its tests in build/ and runs the tests. First installs
# from Debian's packages what the native tests need and this machine lacks
# (see packaging/install-missing.sh), then configures with the tests
# required, builds, and runs ctest, which fails if no test ran.
set -euo pipefail
cd "$(dirname "$0")"

packaging/install-missing.sh cmake make g++ libgtest-dev nlohmann-json3-dev
cmake -S . -B build -DADDSOUND_REQUIRE_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build -j"$(nproc)" --output-on-failure --no-tests=error
