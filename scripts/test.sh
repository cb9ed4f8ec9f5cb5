#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux build under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows build under
# Wine, then the normal Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

sanitizers="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
BUILD_DIR=build-sanitize bash scripts/build.sh -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=$sanitizers" "-DCMAKE_EXE_LINKER_FLAGS=$sanitizers"
(cd build-sanitize && ctest -j "$(nproc)" --output-on-failure --timeout 300)

BUILD_DIR=build-win bash scripts/build-windows.sh
(cd build-win && ctest --output-on-failure --timeout 900)

BUILD_DIR=build bash scripts/build.sh
(cd build && ctest -j "$(nproc)" --output-on-failure --timeout 300)
