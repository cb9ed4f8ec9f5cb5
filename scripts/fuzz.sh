#!/usr/bin/env bash
# fuzz.sh [SECONDS] — builds the libFuzzer targets in fuzz/ with clang
# (ASan and UBSan, every library instrumented) into BUILD_DIR (default:
# build-fuzz), runs each for SECONDS (default 30) on a copy of its seed corpus
# under BUILD_DIR/fuzz-runs, and prints per target the executions, the
# coverage (cov: and ft: of libFuzzer's last stats line) and the findings
# (crash, leak, timeout and out-of-memory inputs, kept in the run's
# artifacts/). Exits non-zero when any target has a finding or does not run.
#
#   FUZZ_TARGETS  the targets to run, space separated (default: all)
#   FUZZ_JOBS     targets run at once (default 1)
#   CXX           the clang++ to build with (default: clang++)
# Needs clang and libclang-rt-14-dev (or the libFuzzer runtime of the clang
# used).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:-30}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: fuzz.sh [SECONDS]" >&2; exit 2; }
build_dir=${BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-1}
all_targets=(request_fuzzer xz_decode_fuzzer image_decode_fuzzer boot_image_fuzzer ioctl_reply_fuzzer cmdline_fuzzer
             boot_file_path_fuzzer ps_quote_fuzzer)
read -r -a targets <<<"${FUZZ_TARGETS:-${all_targets[*]}}"

sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DWINDOWS_HELPER_FUZZ=ON -DWINDOWS_HELPER_TESTS=OFF -DCMAKE_CXX_FLAGS="$sanitizers" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"

# Readable stack traces: the symbolizer beside the clang in use (package llvm-14).
if ! command -v llvm-symbolizer >/dev/null; then
  symbolizer=$(dirname "$(readlink -f "$(command -v "${CXX:-clang++}")")")/llvm-symbolizer
  [ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer
fi

runs=$(cd "$build_dir" && pwd)/fuzz-runs
rm -rf "$runs"
mkdir -p "$runs"

# One target: its seeds copied, libFuzzer run inside the run directory so
# nothing it writes lands in the tree.
run_target() {
  local target=$1 run=$runs/$1
  local seeds=$root/fuzz/corpus/${target%_fuzzer}
  mkdir -p "$run/corpus" "$run/artifacts"
  [ -d "$seeds" ] && cp -R "$seeds/." "$run/corpus/"
  local status=0
  (cd "$run" && UBSAN_OPTIONS=print_stacktrace=1 "$root/$build_dir/fuzz/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$run/artifacts/" corpus >"$run/log" 2>&1) || status=$?
  echo "$status" >"$run/status"
  echo "$(figures "$target") (exit status $status)"
}

# The figures of one finished run: target, executions, cov, ft, findings.
figures() {
  local target=$1 run=$runs/$1
  local execs cov ft findings status
  status=$(cat "$run/status")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$run/log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$run/log" | tail -n 1 | cut -d' ' -f2)
  findings=$(find "$run/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
             -o -name 'oom-*' \) | wc -l)
  # A non-zero exit without an artifact (a build or start failure) counts too.
  if [ "$status" != 0 ] && [ "$findings" = 0 ]; then findings=1; fi
  printf '%-24s %12s %7s %7s %9s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$findings"
}

# The table row; the details of a finding on stderr.
report_target() {
  local target=$1 run=$runs/$1 status row
  status=$(cat "$run/status")
  row=$(figures "$target")
  echo "$row"
  if [ "$(echo "$row" | awk '{print $NF}')" != 0 ]; then
    echo "  exit status $status; log: $run/log" >&2
    find "$run/artifacts" -type f -printf '  finding: %p\n' >&2
    grep -m 3 -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$run/log" | sed 's/^/  /' >&2 || true
    return 1
  fi
}

echo "fuzzing ${#targets[@]} target(s) for ${seconds}s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  run_target "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '\n%-24s %12s %7s %7s %9s\n' target executions cov ft findings
for target in "${targets[@]}"; do
  report_target "$target" || failed=1
done
if [ "$failed" != 0 ]; then
  echo "fuzz.sh: findings above (inputs in $runs/<target>/artifacts)" >&2
  exit 1
fi
echo "fuzz.sh: no findings"
