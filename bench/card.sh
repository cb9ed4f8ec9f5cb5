#!/usr/bin/env bash
# Times write_image, readback included, onto an emulated card: a loop device
# that the blkio cgroup limits to 40 MiB/s of writes and 90 MiB/s of reads,
# the simulated drive's backing file, opened unbuffered as Windows opens raw
# drives. The baseline is the card's own limit (a sleep of size / 40 MiB/s +
# size / 90 MiB/s), so the ratio says how close the helper comes to it (lower
# is better, 1.00 at best): the median of RUNS runs (default 3).
#
#   write_image of a prepared image       target <= 1.02x (>= 0.98 of the limit)
#   write_image, decompress, .xz (many blocks), .zst, .gz, .zip   target <= 1.05x
#
#   bash bench/card.sh                    # RUNS=3, image of 256 MiB
#   RUNS=5 SAMPLE_MIB=512 bash bench/card.sh
#   bash bench/card.sh --sparse           # sparse writes of a Raspberry Pi OS-like image
#
# --sparse writes only what the image's file systems use, from the prepared
# image and streamed from .xz (with the write map of image_uncompressed_size,
# whose pass is not timed: a streamed full write makes that pass too). The
# image (bench/pi_image.sh, 2,168 MiB, about two thirds used) is made once
# into bench/cache. The baseline is the card's limit for the bytes the write
# map writes: written / 40 MiB/s + written / 90 MiB/s; target <= 1.05x. The
# limit of a full write of the same image is printed beside it.
#
# The page cache holds none of the image before each run (dropped, or the
# image's own pages evicted where dropping is not allowed). It needs root,
# loop devices and the blkio (cgroup v1) or io (cgroup v2) controller; where
# one is missing it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/.."

sparse=0
[ "${1:-}" = --sparse ] && sparse=1
runs="${RUNS:-3}"
sample_mib="${SAMPLE_MIB:-256}"
build_dir="${BUILD_DIR:-build}"
helper="$build_dir/windows_helper"
cache="bench/cache"
readonly mib=1048576 write_bps=$((40 * 1048576)) read_bps=$((90 * 1048576))
source bench/common.sh
PATH=$PATH:/usr/sbin:/sbin

skip() { echo "bench/card.sh: skipped: $1"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "it needs root (loop devices and cgroups)"
command -v losetup >/dev/null || skip "losetup is missing"
if [ -w /sys/fs/cgroup/blkio ] || [ -d /sys/fs/cgroup/blkio ]; then
  group=/sys/fs/cgroup/blkio/windows_helper_bench
  cgroup_version=1
elif grep -qw io /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
  group=/sys/fs/cgroup/windows_helper_bench
  cgroup_version=2
else
  skip "no blkio or io cgroup controller"
fi

prepare_helper
mkdir -p "$cache"
image="$cache/card-${sample_mib}MiB.img"
if [ "$sparse" = 1 ]; then
  image="$cache/pi-like.img"
  if [ ! -f "$image" ] || [ ! -f "$image.xz" ]; then
    echo "making the Raspberry Pi OS-like image and compressing it..."
    bash bench/pi_image.sh "$image"
    xz -T0 -k -c "$image" >"$image.xz"
  fi
elif [ ! -f "$image.gz" ] || [ ! -f "$image.zst" ] || [ ! -f "$image.xz" ] || [ ! -f "$image.zip" ] || [ ! -f "$image" ]; then
  echo "making the image ($sample_mib MiB) and compressing it four times..."
  make_sample "$image" "$sample_mib"
  xz -T0 -k -c "$image" >"$image.xz"
  zstd -q -3 -c "$image" >"$image.zst"
  gzip -6 -c "$image" >"$image.gz"
  zip_beside "$image"
fi
size=$(stat -c %s "$image")

bench_tmp=$(mktemp -d)
loop=""
cleanup() {
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null || true
  rmdir "$group" 2>/dev/null || true
  rm -rf "$bench_tmp"
}
trap cleanup EXIT
truncate -s "$size" "$bench_tmp/card.backing"
loop=$(losetup --find --show "$bench_tmp/card.backing" 2>/dev/null) || skip "no loop device could be set up"
device=$(printf '%d:%d' "0x$(stat -c %t "$loop")" "0x$(stat -c %T "$loop")")
mkdir -p "$group" 2>/dev/null || skip "cannot make a cgroup under ${group%/*}"
if [ "$cgroup_version" = 1 ]; then
  echo "$device $write_bps" >"$group/blkio.throttle.write_bps_device"
  echo "$device $read_bps" >"$group/blkio.throttle.read_bps_device"
else
  echo "$device rbps=$read_bps wbps=$write_bps" >"$group/io.max"
fi

sim="$bench_tmp/sim"
mkdir "$sim"
cat >"$sim/machine.json" <<EOF
{"elevated": true, "sleepScale": 0, "drives": [{"number": 2, "backingFile": "$loop", "sizeBytes": $size,
 "serial": "BENCH-1", "busType": 7, "removableMedia": true, "mountSideEffects": false}]}
EOF
export WINDOWS_HELPER_SIM_DIR="$sim"
answer="$bench_tmp/answer.json"
target='"osDevicePath":"\\\\.\\PhysicalDrive2","expectedIdentity":{"physicalDriveNumber":"\\\\.\\PhysicalDrive2","sizeBytes":'$size',"serial":"BENCH-1"}'
image_sha=$(openssl dgst -sha256 -r "$image" | cut -d' ' -f1)
matched() {
  tail -n 1 "$answer" | grep -q "\"observedSha256\":\"$image_sha\"" ||
    { echo "bench: the card does not hold the image: $(tail -n 1 "$answer")" >&2; exit 1; }
}
# Nothing of the images in the page cache: dropped, or evicted file by file.
uncached() {
  sync
  if ! { echo 3 >/proc/sys/vm/drop_caches; } 2>/dev/null; then
    for file in "$image" "$image".*; do dd if="$file" iflag=nocache count=0 status=none; done
  fi
}
limit=$(awk -v n="$size" -v w="$write_bps" -v r="$read_bps" 'BEGIN { printf "%.3f", n / w + n / r }')

if [ "$sparse" = 1 ]; then
  # The map, made once, outside the timing.
  "$helper" --request '{"id":"m","sessionId":"b","command":"image_uncompressed_size","payload":{"imagePath":"'"$PWD/$image.xz"'","anyFormat":true,"sparse":true}}' >"$bench_tmp/map.json"
  map=$(tail -n 1 "$bench_tmp/map.json" | sed 's/.*"writeMap":\(.*\)}}$/\1/')
  written=$(grep -o '"bytesWritten":[0-9]*' <<<"$map" | head -n 1 | cut -d: -f2)
  skipped=$(grep -o '"bytesSkipped":[0-9]*' <<<"$map" | head -n 1 | cut -d: -f2)
  [ -n "$written" ] || { echo "bench: no write map: $(tail -n 1 "$bench_tmp/map.json" | cut -c 1-300)" >&2; exit 1; }
  sparse_limit=$(awk -v n="$written" -v w="$write_bps" -v r="$read_bps" 'BEGIN { printf "%.3f", n / w + n / r }')
  matched() {
    local last written_sha observed_sha
    last=$(tail -n 1 "$answer")
    written_sha=$(grep -o '"writtenSha256":"[0-9a-f]*"' <<<"$last" | cut -d'"' -f4)
    observed_sha=$(grep -o '"observedSha256":"[0-9a-f]*"' <<<"$last" | cut -d'"' -f4)
    grep -q "\"sourceSha256\":\"$image_sha\"" <<<"$last" && [ -n "$written_sha" ] && [ "$written_sha" = "$observed_sha" ] ||
      { echo "bench: the card does not hold the written bytes: $(cut -c 1-300 <<<"$last")" >&2; exit 1; }
  }
  echo "sparse write_image of a $((size / mib)) MiB Raspberry Pi OS-like image onto a card limited to 40 MiB/s writes and 90 MiB/s reads"
  echo "written $((written / mib)) MiB, skipped $((skipped / mib)) MiB ($(awk -v s="$skipped" -v n="$size" 'BEGIN { printf "%.1f", 100 * s / n }')%);" \
    "the card's limit: $sparse_limit s for the written bytes, $limit s for a full write; median of $runs runs"
  print_header
  for kind in prepared xz; do
    if [ "$kind" = prepared ]; then
      payload='"imagePath":"'$PWD/$image'","sparse":true'
    else
      payload='"imagePath":"'$PWD/$image.xz'","decompress":true,"sparse":true,"bytesTotal":'$size',"writeMap":'$map
    fi
    printf '%s' '{"id":"b","sessionId":"b","command":"write_image","payload":{'"$target,$payload"'}}' >"$bench_tmp/request-$kind.json"
    row --target 1.05 --before uncached --check matched "write_image sparse ($kind)" \
      "echo \$\$ >$group/cgroup.procs && exec $helper --request-file '$bench_tmp/request-$kind.json' >'$answer'" \
      "sleep $sparse_limit"
  done
  echo "target: <= 1.05x the card's limit for the bytes written; a full write's limit is $limit s"
  exit 0
fi

echo "write_image onto a card limited to 40 MiB/s writes and 90 MiB/s reads, against that limit ($limit s for $sample_mib MiB); median of $runs runs"
print_header
for kind in prepared xz zst gz zip; do
  if [ "$kind" = prepared ]; then
    payload='"imagePath":"'$PWD/$image'"'
    goal=1.02
  else
    payload='"imagePath":"'$PWD/$image.$kind'","decompress":true,"bytesTotal":'$size
    goal=1.05
  fi
  args='{"id":"b","sessionId":"b","command":"write_image","payload":{'$target','$payload'}}'
  row --target "$goal" --before uncached --check matched "write_image ($kind)" \
    "echo \$\$ >$group/cgroup.procs && exec $helper --request '$args' >'$answer'" "sleep $limit"
done
echo "targets: prepared <= 1.02x the card's limit (>= 0.98 of its speed); decompress <= 1.05x"
