#!/usr/bin/env bash
# The fault matrix: flash-card's whole course on the simulated Windows with a
# fault injected at every guarded step of every command that acts on the
# card, and the next flash of a good card after each. Prints the table and
# exits non-zero if any check failed.
#   scripts/fault-matrix.sh [--no-build] [--verbose]   (BUILD_DIR, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
build=1
verbose=
for arg in "$@"; do
  case $arg in
    --no-build) build=0 ;;
    --verbose) verbose=--verbose ;;
    *) echo "usage: scripts/fault-matrix.sh [--no-build] [--verbose]" >&2; exit 2 ;;
  esac
done
if [ "$build" = 1 ]; then
  BUILD_DIR=$build_dir bash scripts/build.sh
fi
export SOURCE_DATE_EPOCH=1700000000 TZ=UTC LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
exec "$build_dir/tests/fault_matrix" "$(cd "$build_dir" && pwd)" $verbose
