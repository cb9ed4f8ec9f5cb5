# shellcheck shell=bash disable=SC2154
# Shared by the bench scripts (sourced): the build, one timed run, medians,
# and a row of the helper against its baseline, taking turns. The caller sets
# runs, build_dir and bench_tmp (a scratch directory).

# Installs what the bench needs and builds the helper into $build_dir, once
# per bench run (run.sh passes BENCH_PREPARED=1 to the scripts it calls).
prepare_helper() {
  [ "${BENCH_PREPARED:-}" = 1 ] && return 0
  bash scripts/install-deps.sh
  if ! command -v /usr/bin/time >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -qq --no-install-recommends time
  fi
  BUILD_DIR="$build_dir" bash scripts/build.sh >/dev/null
  export BENCH_PREPARED=1
}

# A sample image of `mib` MiB at `file`: half system libraries (compressible
# code and data), half zeros, like a card image with free space.
make_sample() { # file mib
  local half=$(($2 / 2))
  {
    # A disk image's first sector: an empty MBR with its boot signature, as
    # the helper writes and checks disk images only.
    head -c 510 /dev/zero
    printf '\x55\xaa'
    (tar cf - /usr/lib /usr/bin 2>/dev/null || true) | head -c "$(((half << 20) - 512))"
    head -c "$((($2 - half) << 20))" /dev/zero
  } >"$1"
}

# `file`.zip beside `file`, holding it alone, as zip makes it.
zip_beside() { # file
  (cd "$(dirname "$1")" && rm -f "$(basename "$1").zip" && zip -q -6 "$(basename "$1").zip" "$(basename "$1")")
}

# One run of a shell command, its standard output discarded: "seconds
# peak-kilobytes exit-status". The wall time comes from bash's microsecond
# clock, the peak resident set from GNU time; the command's standard error
# stays in $bench_tmp/stderr for the failure message.
time_once() {
  local start end status=0
  start=$EPOCHREALTIME
  /usr/bin/time -o "$bench_tmp/peak" -f '%M' bash -c "$1" >/dev/null 2>"$bench_tmp/stderr" || status=$?
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" -v kb="$(tail -n 1 "$bench_tmp/peak")" -v st="$status" \
    'BEGIN { printf "%.3f %d %d\n", e - s, kb, st }'
}

# Stops the bench when a timed command failed.
must_succeed() { # status side command
  [ "$1" -eq 0 ] && return 0
  echo "bench: the $2 failed (exit status $1): $3" >&2
  cat "$bench_tmp/stderr" >&2
  exit 1
}

# The median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

print_header() {
  printf "%-36s %9s %9s %7s %11s %9s %s\n" "case" "helper" "baseline" "ratio" "helper peak" "target" "met"
}

# The helper and the baseline take turns, so that the machine's drifting load
# weighs on both alike; the ratio is the median of the per-turn ratios.
#
#   row [--target R] [--before FN] [--check FN] label helper-command baseline-command
#
# FN of --before runs before each side's run (both sides start alike), FN of
# --check after each helper run (it exits when the helper did not succeed).
# Sets row_peak_kb to the helper's highest peak.
row() {
  local target="" before=":" check=":"
  while [ "${1#--}" != "$1" ]; do
    case "$1" in
      --target) target=$2 ;;
      --before) before=$2 ;;
      --check) check=$2 ;;
      *) echo "row: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
  done
  local helper_times=() base_times=() ratios=() h b kb status
  row_peak_kb=0
  for _ in $(seq "$runs"); do
    "$before"
    read -r h kb status < <(time_once "$2")
    must_succeed "$status" helper "$2"
    "$check"
    "$before"
    read -r b _ status < <(time_once "$3")
    must_succeed "$status" baseline "$3"
    helper_times+=("$h")
    base_times+=("$b")
    ratios+=("$(awk -v h="$h" -v b="$b" 'BEGIN { print (b > 0 ? h / b : 0) }')")
    row_peak_kb=$((row_peak_kb > kb ? row_peak_kb : kb))
  done
  awk -v label="$1" -v h="$(printf '%s\n' "${helper_times[@]}" | median)" \
    -v b="$(printf '%s\n' "${base_times[@]}" | median)" \
    -v r="$(printf '%s\n' "${ratios[@]}" | median)" -v kb="$row_peak_kb" -v t="$target" \
    'BEGIN {
       printf "%-36s %7.2f s %7.2f s %6.2fx %7.1f MiB", label, h, b, r, kb / 1024
       if (t != "") printf " %8.2fx %s", t, (r <= t ? "yes" : "NO")
       printf "\n"
     }'
}
