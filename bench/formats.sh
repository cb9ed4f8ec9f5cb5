#!/usr/bin/env bash
# Times the helper decoding each compressed format against that format's own
# tool, single-threaded, on the same sample, and prints ratios (lower is
# better) with the helper's peak memory: the median of the per-turn ratios of
# RUNS runs (default 5), taking turns.
#
#   image_validate of a .gz    gzip -dc
#   image_validate of a .bz2   bzip2 -dc
#   image_validate of a .zst   zstd -dc
#   image_validate of a .zip   unzip -p
#
#   bash bench/formats.sh                  # RUNS=5, sample of 256 MiB
#   RUNS=9 SAMPLE_MIB=512 bash bench/formats.sh
#
# image_validate decodes the whole file and writes nothing, as the tools do
# here with their output thrown away. The sample is half system libraries and
# half zeros, like a card image with free space; it and its compressed copies
# stay in bench/cache/ for later runs, and the page cache is warm for both
# sides. Every answer is checked; a failure stops the bench.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${RUNS:-5}"
sample_mib="${SAMPLE_MIB:-256}"
build_dir="${BUILD_DIR:-build}"
helper="$build_dir/windows_helper"
cache="bench/cache"
source bench/common.sh

prepare_helper
mkdir -p "$cache"
sample="$cache/formats-${sample_mib}MiB.img"
if [ ! -f "$sample.gz" ] || [ ! -f "$sample.bz2" ] || [ ! -f "$sample.zst" ] || [ ! -f "$sample.zip" ]; then
  echo "making the sample ($sample_mib MiB) and compressing it four times..."
  make_sample "$sample" "$sample_mib"
  gzip -6 -c "$sample" >"$sample.gz"
  bzip2 -9 -c "$sample" >"$sample.bz2"
  zstd -q -3 -c "$sample" >"$sample.zst"
  zip_beside "$sample"
  rm -f "$sample"
fi

bench_tmp=$(mktemp -d)
trap 'rm -rf "$bench_tmp"' EXIT
mkdir "$bench_tmp/sim"
echo '{"elevated": true}' >"$bench_tmp/sim/machine.json"
export WINDOWS_HELPER_SIM_DIR="$bench_tmp/sim"
answer="$bench_tmp/answer.json"
answered_ok() {
  tail -n 1 "$answer" | grep -q '"ok":true' || { echo "bench: the helper failed: $(tail -n 1 "$answer")" >&2; exit 1; }
}

echo "image_validate against each format's own tool; median of $runs runs; $(nproc) hardware threads"
print_header
for format in gz:gzip bz2:bzip2 zst:zstd zip:unzip; do
  ext=${format%%:*}
  tool=${format#*:}
  file="$PWD/$sample.$ext"
  baseline="$tool -dc '$file'"
  [ "$tool" = unzip ] && baseline="unzip -p '$file'"
  args='{"id":"b","sessionId":"b","command":"image_validate","payload":{"imagePath":"'$file'"}}'
  row --target 1.10 --check answered_ok "image_validate (.$ext)" \
    "$helper --request '$args' >'$answer'" "$baseline"
  peak_mib=$((row_peak_kb / 1024))
  [ "$peak_mib" -le 64 ] || echo "  peak memory ${peak_mib} MiB is above 64 MiB"
done
echo "targets: each decoder <= 1.10x its tool; peak memory <= 64 MiB"
