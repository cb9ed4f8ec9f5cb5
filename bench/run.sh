#!/usr/bin/env bash
# Times the helper's commands against common tools on one machine in one run,
# and prints ratios (lower is better): the median of the per-turn ratios of
# RUNS runs of each, taking turns, with the peak memory of the helper's runs.
# Each KIND has its own baseline, named above its rows:
#
#   single, multi   image_extract_xz and image_validate_xz of a single-block
#                   and a many-block .xz file, against "xz -T1"
#   flash           write_image, verify_hash and classify_mismatch on a
#                   simulated drive, against openssl, dd, head and cmp
#                   (bench/flash.sh, which says how; FLASH_RUNS, default 3)
#
#   bash bench/run.sh            # RUNS=5, sample of 512 MiB, every kind
#   RUNS=9 SAMPLE_MIB=1024 bash bench/run.sh
#   KINDS=multi bash bench/run.sh   # only the many-block file
#   KINDS=flash bash bench/run.sh   # only the flash commands
#   BUILD_DIR=build-bench bash bench/run.sh   # build and time the helper there
#
# The xz sample is half system libraries (compressible code and data) and
# half zeros, like a card image with free space. It is compressed once as a
# single block (xz -T1) and once as many blocks (xz -T0); all three files stay
# in bench/cache/ for later runs. A helper run that does not answer "ok": true
# stops the bench.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${RUNS:-5}"
sample_mib="${SAMPLE_MIB:-512}"
kinds="${KINDS:-single multi flash}"
cache="bench/cache"
build_dir="${BUILD_DIR:-build}"
helper="$build_dir/windows_helper"
source bench/common.sh

prepare_helper
mkdir -p "$cache"
bench_tmp=$(mktemp -d)
trap 'rm -rf "$bench_tmp"' EXIT

read -ra kind_list <<<"$kinds"
xz_kinds=$(printf '%s\n' "${kind_list[@]}" | grep -xE 'single|multi' || true)
if [ -n "$xz_kinds" ]; then
  sample="$cache/sample-${sample_mib}MiB.img"
  if [ ! -f "$sample.single.xz" ] || [ ! -f "$sample.multi.xz" ]; then
    echo "making the sample ($sample_mib MiB) and compressing it twice..."
    make_sample "$sample" "$sample_mib"
    xz -T1 -k -c "$sample" >"$sample.single.xz"
    xz -T0 -k -c "$sample" >"$sample.multi.xz"
    rm -f "$sample"
  fi

  sim_dir="$bench_tmp/sim"
  mkdir "$sim_dir"
  echo '{"elevated": true}' >"$sim_dir/machine.json"
  export WINDOWS_HELPER_SIM_DIR="$sim_dir"
  output="$cache/prepared.img"
  answer="$bench_tmp/answer.json"
  answered_ok() {
    tail -n 1 "$answer" | grep -q '"ok":true' || { echo "bench: the helper failed: $(tail -n 1 "$answer")" >&2; exit 1; }
  }
  request() { # command image [extra payload]
    printf '{"id":"b","sessionId":"b","command":"%s","payload":{"imagePath":"%s"%s}}' \
      "$1" "$2" "${3:-}"
  }

  echo "windows_helper against the baseline \"xz -T1\"; median of $runs runs; $(nproc) hardware threads"
  print_header
  for kind in $xz_kinds; do
    xz_file="$sample.$kind.xz"
    extract_args=$(request image_extract_xz "$PWD/$xz_file" ",\"outputPath\":\"$PWD/$output\"")
    validate_args=$(request image_validate_xz "$PWD/$xz_file")
    target=1.10
    [ "$kind" = multi ] && target=0.65
    row --target "$target" --check answered_ok "image_extract_xz ($kind block)" \
      "$helper --request '$extract_args' >'$answer'" "xz -T1 -dc '$xz_file'"
    row --check answered_ok "image_validate_xz ($kind block)" \
      "$helper --request '$validate_args' >'$answer'" "xz -T1 -t '$xz_file'"
  done
  rm -f "$output"
  echo "targets: extraction single block <= 1.10x, many blocks <= 0.65x; single-block peak <= 64 MiB"
fi

if printf '%s\n' "${kind_list[@]}" | grep -qx flash; then
  [ -z "$xz_kinds" ] || echo
  RUNS="${FLASH_RUNS:-3}" BUILD_DIR="$build_dir" bash bench/flash.sh
fi
