#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux build under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded image and write
# tests under ThreadSanitizer, the Windows build under Wine, the fuzz targets
# for 30 seconds each, then the normal Linux build with the fault matrix over
# flash-card's whole course, and its tests last, ending with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

sanitizers="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
BUILD_DIR=build-sanitize bash scripts/build.sh -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=$sanitizers" "-DCMAKE_EXE_LINKER_FLAGS=$sanitizers"
(cd build-sanitize && ctest -j "$(nproc)" --output-on-failure --timeout 300)

# Only the tests whose code runs a second thread: the threaded XZ decoder, and
# the image stream and the hashing beside the drive transfers.
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build-tsan -DWINDOWS_HELPER_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS=$tsan" "-DCMAKE_EXE_LINKER_FLAGS=$tsan" >/dev/null
cmake --build build-tsan -j "$(nproc)" --target threaded_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/threaded_tests --gtest_brief=1

BUILD_DIR=build-win bash scripts/build-windows.sh
(cd build-win && ctest --output-on-failure --timeout 900)

FUZZ_JOBS=2 BUILD_DIR=build-fuzz bash scripts/fuzz.sh 30

BUILD_DIR=build bash scripts/build.sh
BUILD_DIR=build bash scripts/fault-matrix.sh --no-build
(cd build && ctest -j "$(nproc)" --output-on-failure --timeout 300)
