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
#
# The page cache holds none of the image before each run (dropped, or the
# image's own pages evicted where dropping is not allowed). It needs root,
# loop devices and the blkio (cgroup v1) or io (cgroup v2) controller; where
# one is missing it says so and skips.
set -euo pipefail
cd "$(dirname "$0")/.."

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
if [ ! -f "$image.gz" ] || [ ! -f "$image.zst" ] || [ ! -f "$image.xz" ] || [ ! -f "$image.zip" ] || [ ! -f "$image" ]; then
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
