#!/usr/bin/env bash
# Times the image commands against the xz tool on one machine in one run, and
# prints ratios against the baseline "xz -T1" (lower is better): the median of
# RUNS runs of each, taking turns, with the peak memory of the helper's runs.
#
#   bash bench/run.sh            # RUNS=5, sample of 512 MiB
#   RUNS=9 SAMPLE_MIB=1024 bash bench/run.sh
#   KINDS=multi bash bench/run.sh   # only the many-block file
#   BUILD_DIR=build-bench bash bench/run.sh   # build and time the helper there
#
# The sample is half system libraries (compressible code and data) and half
# zeros, like a card image with free space. It is compressed once as a single
# block (xz -T1) and once as many blocks (xz -T0); all three files stay in
# bench/cache/ for later runs.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${RUNS:-5}"
sample_mib="${SAMPLE_MIB:-512}"
kinds="${KINDS:-single multi}"
cache="bench/cache"
build_dir="${BUILD_DIR:-build}"
helper="$build_dir/windows_helper"

bash scripts/install-deps.sh
if ! command -v /usr/bin/time >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends time
fi
BUILD_DIR="$build_dir" bash scripts/build.sh >/dev/null

mkdir -p "$cache"
sample="$cache/sample-${sample_mib}MiB.img"
if [ ! -f "$sample.single.xz" ] || [ ! -f "$sample.multi.xz" ]; then
  echo "making the sample ($sample_mib MiB) and compressing it twice..."
  half=$((sample_mib / 2))
  {
    (tar cf - /usr/lib /usr/bin 2>/dev/null || true) | head -c "$((half << 20))"
    head -c "$(((sample_mib - half) << 20))" /dev/zero
  } >"$sample"
  xz -T1 -k -c "$sample" >"$sample.single.xz"
  xz -T0 -k -c "$sample" >"$sample.multi.xz"
  rm -f "$sample"
fi

sim_dir=$(mktemp -d)
trap 'rm -rf "$sim_dir"' EXIT
echo '{"elevated": true}' >"$sim_dir/machine.json"
export WINDOWS_HELPER_SIM_DIR="$sim_dir"
output="$cache/prepared.img"

# One run of a command: "seconds peak-kilobytes".
time_once() {
  /usr/bin/time -f '%e %M' bash -c "$1" 2>&1 >/dev/null | tail -n 1
}

# The median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

request() { # command image [extra payload]
  printf '{"id":"b","sessionId":"b","command":"%s","payload":{"imagePath":"%s"%s}}' \
    "$1" "$2" "${3:-}"
}

# The helper and the baseline take turns, so that the machine's drifting load
# weighs on both alike; the ratio is the median of the per-turn ratios.
row() { # label helper-command baseline-command
  local helper_times=() base_times=() ratios=() peak=0 h b kb
  for _ in $(seq "$runs"); do
    read -r h kb < <(time_once "$2")
    read -r b _ < <(time_once "$3")
    helper_times+=("$h")
    base_times+=("$b")
    ratios+=("$(awk -v h="$h" -v b="$b" 'BEGIN { print (b > 0 ? h / b : 0) }')")
    peak=$((peak > kb ? peak : kb))
  done
  awk -v label="$1" -v h="$(printf '%s\n' "${helper_times[@]}" | median)" \
    -v b="$(printf '%s\n' "${base_times[@]}" | median)" \
    -v r="$(printf '%s\n' "${ratios[@]}" | median)" -v kb="$peak" \
    'BEGIN { printf "%-34s %8.2f s %8.2f s %7.2fx %8.1f MiB\n", label, h, b, r, kb / 1024 }'
}

echo "windows_helper against the baseline \"xz -T1\"; median of $runs runs; $(nproc) hardware threads"
printf "%-34s %10s %10s %8s %12s\n" "case" "helper" "baseline" "ratio" "helper peak"
for kind in $kinds; do
  xz_file="$sample.$kind.xz"
  extract_args=$(request image_extract_xz "$PWD/$xz_file" ",\"outputPath\":\"$PWD/$output\"")
  validate_args=$(request image_validate_xz "$PWD/$xz_file")
  row "image_extract_xz ($kind block)" "$helper --request '$extract_args'" "xz -T1 -dc '$xz_file'"
  row "image_validate_xz ($kind block)" "$helper --request '$validate_args'" "xz -T1 -t '$xz_file'"
done
rm -f "$output"
echo "targets: extraction single block <= 1.10x, many blocks <= 0.65x; single-block peak <= 64 MiB"
