#!/usr/bin/env bash
# Times the flash commands on a file-backed simulated drive of 1 GiB against
# what a shell would do with openssl and coreutils, and prints ratios (lower
# is better): the median of the per-turn ratios of RUNS runs (run.sh passes
# its FLASH_RUNS; default 3), helper and baseline taking turns.
#
#   write_image, skipReadback   openssl dgst -sha256 image; dd ... conv=notrunc,fsync
#   write_image                 the same, then head -c N drive | openssl dgst -sha256
#   verify_hash                 head -c N drive | openssl dgst -sha256
#   classify_mismatch           cmp -n N image drive (both identical)
#   peak memory of write_image
#
#   bash bench/flash.sh                        # RUNS=3
#   RUNS=5 BUILD_DIR=build-bench bash bench/flash.sh
#
# The page cache is warm for both sides: the image and the drive file are read
# through once before every timed run, so reads come from memory and only the
# writes' fsync (dd's conv=fsync, the helper's FlushFileBuffers) reaches the
# disk. Both files lie in bench/cache/, on one file system. The image is
# exactly the drive's size: an MBR with a 64 MiB FAT32 boot partition at 4 MiB
# (classify_mismatch only compares when it finds one), then 512 MiB of system
# libraries and zeros to the end; it stays in bench/cache/ for later runs.
# The drive has no mount side effects: with them the simulated Windows marks
# the written FAT dirty when the card is let go, and write_image reads the
# drive three times (readback, recheck, the search for the first difference);
# the rows time the path on which the readback matches at once. Every answer
# is checked; a failure stops the bench.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${RUNS:-3}"
build_dir="${BUILD_DIR:-build}"
helper="$build_dir/windows_helper"
cache="bench/cache"
readonly mib=1048576 size=$((1024 * 1048576))
source bench/common.sh
PATH=$PATH:/usr/sbin:/sbin

prepare_helper
mkdir -p "$cache"
image="$cache/flash-1024MiB.img"
if [ ! -f "$image" ]; then
  echo "making the flash image (1 GiB)..."
  work=$(mktemp -d "$cache/.flash.XXXXXX")
  truncate -s $((64 * mib)) "$work/boot.part"
  mkfs.fat -F 32 -s 1 --invariant -i 2024b007 -n BOOTFS -h 8192 "$work/boot.part" >/dev/null
  head -c "$size" /dev/zero >"$work/image"
  sfdisk --quiet --no-reread --no-tell-kernel "$work/image" >/dev/null <<EOF
label: dos
label-id: 0x2024b007
unit: sectors

start=8192, size=131072, type=c
start=139264, type=83
EOF
  dd if="$work/boot.part" of="$work/image" bs=$mib seek=4 conv=notrunc status=none
  (tar cf - /usr/lib 2>/dev/null || true) | head -c $((512 * mib)) |
    dd of="$work/image" bs=$mib seek=68 conv=notrunc iflag=fullblock status=none
  mv "$work/image" "$image"
  rm -rf "$work"
fi
[ "$(stat -c %s "$image")" -eq "$size" ] || { echo "bench: $image is not $size bytes; delete it" >&2; exit 1; }
image_sha=$(openssl dgst -sha256 -r "$image" | cut -d' ' -f1)

bench_tmp=$(mktemp -d "$cache/.flash-sim.XXXXXX")
trap 'rm -rf "$bench_tmp"' EXIT
sim="$bench_tmp"
drive="$sim/drive.img"
cp --sparse=never "$image" "$drive"
cat >"$sim/machine.json" <<EOF
{"elevated": true, "sleepScale": 0, "drives": [{"number": 2, "backingFile": "drive.img", "serial": "BENCH-1",
 "busType": 12, "mountSideEffects": false}]}
EOF
export WINDOWS_HELPER_SIM_DIR="$PWD/$sim"
answer="$sim/answer.json"

target='"osDevicePath":"\\\\.\\PhysicalDrive2","expectedIdentity":{"physicalDriveNumber":"\\\\.\\PhysicalDrive2","sizeBytes":'$size',"serial":"bench-1"}'
request() { # command extra-payload
  printf '{"id":"b","sessionId":"b","command":"%s","payload":{%s,%s}}' "$1" "$target" "$2"
}
image_field="\"imagePath\":\"$PWD/$image\",\"bytesTotal\":$size"
write_fast=$(request write_image "$image_field,\"taskId\":\"bench\",\"skipReadback\":true")
write_full=$(request write_image "$image_field,\"taskId\":\"bench\"")
verify=$(request verify_hash "\"bytesTotal\":$size")
classify=$(request classify_mismatch "$image_field")

# Both sides start alike: the sim's event log empty, image and drive cached.
fresh() {
  : >"$sim/events.log"
  cat "$image" "$drive" >/dev/null
}

# The value of a top-level field of the helper's answer, quotes dropped.
field() { tail -n 1 "$answer" | grep -o "\"$1\":[^,}]*" | head -n 1 | cut -d: -f2- | tr -d '"'; }
expect() { # field value
  [ "$(field "$1")" = "$2" ] && return 0
  echo "bench: the helper answered $1 = $(field "$1"), not $2: $(tail -n 1 "$answer" | cut -c 1-600)" >&2
  exit 1
}
wrote() { expect ok true; expect sourceSha256 "$image_sha"; expect bytesWritten "$size"; }
wrote_fast() { wrote; expect skippedReadback true; }
wrote_full() { wrote; expect observedSha256 "$image_sha"; expect verifyAttempts 1; expect mismatch null; }
verified() { expect ok true; expect observedSha256 "$image_sha"; expect verifiedBytes "$size"; }
classified() { expect ok true; expect safe true; expect metadataDiffBytes 0; }

base_write="openssl dgst -sha256 '$image' && dd if='$image' of='$drive' bs=4M conv=notrunc,fsync status=none"
base_hash="head -c $size '$drive' | openssl dgst -sha256"

echo "windows_helper on a simulated 1 GiB drive against openssl $(openssl version | cut -d' ' -f2) and coreutils" \
  "(baselines below); median of $runs runs; $(nproc) hardware threads; page cache warm"
print_header
row --target 0.80 --before fresh --check wrote_fast "write_image, skipReadback" \
  "$helper --request '$write_fast' >'$answer'" "$base_write"
fast_peak_kb=$row_peak_kb
row --target 0.85 --before fresh --check wrote_full "write_image" \
  "$helper --request '$write_full' >'$answer'" "$base_write && $base_hash"
peak_kb=$((row_peak_kb > fast_peak_kb ? row_peak_kb : fast_peak_kb))
row --target 0.90 --before fresh --check verified "verify_hash" \
  "$helper --request '$verify' >'$answer'" "$base_hash"
row --target 1.00 --before fresh --check classified "classify_mismatch (identical)" \
  "$helper --request '$classify' >'$answer'" "cmp -n $size '$image' '$drive'"
awk -v kb="$peak_kb" 'BEGIN { printf "%-36s %27s %7.1f MiB %5d MiB %s\n", "write_image peak memory", "", kb / 1024, 64,
                              (kb <= 64 * 1024 ? "yes" : "NO") }'
cat <<EOF
baselines (N = $size, the image's and the drive's size):
  write_image, skipReadback   openssl dgst -sha256 image; dd if=image of=drive bs=4M conv=notrunc,fsync
  write_image                 the same; then head -c N drive | openssl dgst -sha256
  verify_hash                 head -c N drive | openssl dgst -sha256
  classify_mismatch           cmp -n N image drive
EOF
