#!/usr/bin/env bash
# Cross-builds windows_helper.exe (and, with Wine present, its Wine tests)
# into BUILD_DIR (default: build-win): installs what is missing, builds the
# Windows liblzma and libcrypto into their cache, then the project with
# warnings as errors. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-win}"

bash scripts/install-deps.sh windows
deps_prefix=$(bash scripts/build-windows-deps.sh | tail -n 1)
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DWINDOWS_HELPER_DEPS_PREFIX="$deps_prefix" -DWINDOWS_HELPER_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
echo "built $build_dir/windows_helper.exe"
