#!/usr/bin/env bash
# Writes a Raspberry Pi OS-like card on a simulated Windows machine the way
# the desktop application does, with the reference client flash-card, then
# runs the commands that flow does not use, so that every command has a real
# example. Every request and every line the helper printed go to
# transcript.jsonl in the work directory; docs/protocol.md's examples come
# from it (tests/protocol_doc_test.sh checks them).
#
#   scripts/demo.sh [--build-dir DIR] [--work-dir DIR] [--no-build]
#
# Without --no-build it installs what is missing and builds into the build
# directory (default: build). Without --work-dir the work directory is a
# temporary one, removed at the end; a given one must be empty or absent.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

build_dir=build
work=
build=1
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build_dir=$2; shift 2 ;;
    --work-dir) work=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    *) echo "usage: scripts/demo.sh [--build-dir DIR] [--work-dir DIR] [--no-build]" >&2; exit 2 ;;
  esac
done

if [ "$build" = 1 ]; then
  bash scripts/install-deps.sh
  BUILD_DIR=$build_dir bash scripts/build.sh >/dev/null
fi
build_dir=$(cd "$build_dir" && pwd)
helper=$build_dir/windows_helper
flash_card=$build_dir/flash-card
for needed in "$helper" "$flash_card" "$build_dir/tools/fake-powershell" "$build_dir/cards/card.img"; do
  [ -e "$needed" ] || { echo "demo.sh: $needed is missing; build first" >&2; exit 1; }
done

if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
else
  mkdir -p "$work"
  [ -z "$(ls -A "$work")" ] || { echo "demo.sh: $work is not empty" >&2; exit 1; }
fi
cd "$work"
# Requests name files relative to here, so the examples do not depend on
# where the demo ran. Fixed clock for mtools: the bytes of the card's files,
# and so the digests, come out the same in every run.
export WINDOWS_HELPER_SIM_DIR=$PWD
export SOURCE_DATE_EPOCH=1700000000 TZ=UTC LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

section() { printf '\n=== %s ===\n\n' "$1"; }

section "A laptop with card readers"
# The system disk, and a USB card reader holding an old 48 MiB card with
# holiday photos on E: (two more readers, each with a blank card, come in at
# the end, and a fourth is empty). The process runs elevated; sleeps take no
# time. Windows' mount manager keeps a volume GUID per disk signature and
# partition offset: this card has been in the reader before, so its boot
# partition gets the same GUID in every run.
cp "$build_dir/cards/card.img" pi.img.orig
card_bytes=$(stat -c %s pi.img.orig)
truncate -s "$card_bytes" card.img card2.img card3.img
: > system.img
: > card4.img
cat > machine.json <<'JSON'
{
  "elevated": true,
  "sleepScale": 0,
  "drives": [
    {"number": 0, "backingFile": "system.img", "sizeBytes": 512110190592, "vendor": "NVMe",
     "product": "Samsung SSD 980", "serial": "S6B0NL0T", "busType": 17, "removableMedia": false,
     "isSystem": true, "isBoot": true, "partitionStyle": "GPT"},
    {"number": 1, "backingFile": "card.img", "vendor": "Generic", "product": "STORAGE DEVICE",
     "serial": "000000123", "busType": 7, "removableMedia": true, "partitionStyle": "RAW"},
    {"number": 2, "backingFile": "card2.img", "vendor": "Generic", "product": "SD/MMC Card Reader",
     "serial": "000000456", "busType": 7, "removableMedia": true, "partitionStyle": "RAW"},
    {"number": 3, "backingFile": "card3.img", "vendor": "Generic", "product": "SD/MMC Card Reader",
     "serial": "000000789", "busType": 7, "removableMedia": true, "partitionStyle": "RAW"},
    {"number": 4, "backingFile": "card4.img", "vendor": "Generic", "product": "MicroSD Reader",
     "busType": 7, "removableMedia": true, "noMedium": true}
  ],
  "volumes": [
    {"name": "\\\\?\\Volume{3c9e2f1a-5b7d-4e60-9a1c-0d2b4f6e8a10}\\", "letters": ["E"], "label": "HOLIDAY",
     "directory": "holiday", "extents": [{"disk": 1, "startingOffset": 4194304, "length": 41943040}]}
  ]
}
JSON
mkdir -p holiday/DCIM
head -c 3000000 /dev/zero | tr '\0' 'j' > holiday/DCIM/IMG_0001.JPG
head -c 2500000 /dev/zero | tr '\0' 'j' > holiday/DCIM/IMG_0002.JPG
ln -s "$build_dir/tools/fake-powershell" powershell
echo "machine.json: system disk 0, card readers as PhysicalDrive1 to 3, each with a $card_bytes-byte card (the first with photos on E:), and an empty one as PhysicalDrive4"

# A Raspberry Pi OS-like image as the application downloads it: MBR, FAT32
# boot partition at 4 MiB with the firmware and kernel files, Linux root.
xz -T1 -c pi.img.orig > pi.img.xz
rm pi.img.orig
cat > firstrun.sh <<'SH'
#!/bin/sh
# First boot: name the machine, then take this script off the command line.
echo raspberrypi-demo > /etc/hostname
sed -i "s| systemd.run=[^ ]*||; s| systemd.unit=kernel-command-line.target||" /boot/cmdline.txt
exit 0
SH

section "flash-card lists the cards, named as Windows names them"
echo "\$ flash-card"
"$flash_card" --helper "$helper"

section "flash-card: the desktop application's course, on the card that holds E:"
# The default course: the image checked once, then decoded straight onto the
# card, with no file in between.
echo "\$ flash-card --disk E: --yes --transcript transcript.jsonl --file firstrun.sh=firstrun.sh \\"
echo "    --cmdline-append 'systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target' pi.img.xz"
"$flash_card" --helper "$helper" --disk E: --yes --transcript transcript.jsonl \
  --file firstrun.sh=firstrun.sh \
  --cmdline-append "systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target" \
  pi.img.xz

section "flash-card: the prepared course, on the same card"
# --keep-image: the .xz decompressed into a prepared image first, written
# from there, and kept: the commands below read it again.
echo "\$ flash-card --disk 1 --yes --keep-image --transcript prepared.jsonl --file firstrun.sh=firstrun.sh \\"
echo "    --cmdline-append 'systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target' pi.img.xz"
"$flash_card" --helper "$helper" --disk 1 --yes --keep-image --transcript prepared.jsonl \
  --file firstrun.sh=firstrun.sh \
  --cmdline-append "systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target" \
  pi.img.xz
cat prepared.jsonl >> transcript.jsonl
rm prepared.jsonl
# flash-card picks a random session id (and its write's taskId); the
# transcript shows it as "flash-…", so that runs can be compared.
sed -i 's/flash-[0-9a-f]\{12\}/flash-…/g' transcript.jsonl

section "What Windows did to the card during the flash (the simulated machine's event log)"
# The card is removable media: prepare_disk's Set-Disk -IsOffline is refused
# and the card stays online, its volumes dismounted; after the write Windows
# reads the new partition table, mounts the boot partition and gives it a
# letter. Only the volume locks keep Windows off it while the helper works.
grep -E '"effect":"(offlineRefused|offline|online|letterRemoved|arrived|removed|letterAssigned)"|"op":"mountSideEffect"' \
  events.log | sed 's/,"process":[0-9]*//' | cut -c 1-160

section "The card's boot partition, read by mtools from the drive's bytes"
mdir -i card.img@@4M ::
echo "cmdline.txt:"
mtype -i card.img@@4M ::cmdline.txt

section "The commands the flow did not use"
seq=0
# run ID COMMAND [PAYLOAD]: one helper process; its request and lines go to
# the transcript, and are shown here (long lines cut).
run() {
  local request="{\"id\":\"$1\",\"sessionId\":\"demo\",\"command\":\"$2\"${3:+,\"payload\":$3}}"
  local lines
  echo "\$ windows_helper --request '$request'"
  lines=$("$helper" --request "$request")
  printf '%s\n' "$lines" | cut -c 1-160
  printf '{"request":%s,"lines":[%s]}\n' "$request" "$(printf '%s' "$lines" | paste -sd,)" >> transcript.jsonl
  echo
}
target='"osDevicePath":"\\\\.\\PhysicalDrive1","expectedIdentity":{"physicalDriveNumber":"\\\\.\\PhysicalDrive1","sizeBytes":'$card_bytes',"serial":"000000123"}'
run bad-1 Health
# The application still holds the identity of another card that was in the
# reader: every disk command refuses before it touches the drive.
run swapped-1 prepare_disk "{${target/000000123/7F3A0C91}}"
run cancel-1 cancel_task '{"taskId":"write-1"}'
run verify-1 verify_hash "{$target,\"bytesTotal\":$card_bytes}"
run sectors-1 read_sectors "{$target,\"startLba\":8192,\"sectorCount\":1}"
run classify-1 classify_mismatch "{$target,\"imagePath\":\"pi.img.prepared\",\"bytesTotal\":$card_bytes}"
# The measuring pass of a streamed sparse write, which makes its write map.
run map-1 image_uncompressed_size '{"imagePath":"pi.img.xz","anyFormat":true,"sparse":true}'
# The same image written again, decoded on the way, with no prepared file.
run stream-1 write_image "{$target,\"imagePath\":\"pi.img.xz\",\"decompress\":true,\"bytesTotal\":$card_bytes,\"taskId\":\"stream-1\"}"
run finalize-1 finalize_disk "{$target}"
run reformat-1 reformat_disk "{$target,\"volumeLabel\":\"DEMO\"}"
# The image checked and measured in one pass each, with what it is; every
# reader, the busy and empty ones too; an empty download refused before the
# card is touched.
run validate-1 image_validate '{"imagePath":"pi.img.xz"}'
run size-1 image_uncompressed_size '{"imagePath":"pi.img.xz","anyFormat":true}'
run list-2 list_disks '{"includeUnavailable":true}'
: > empty.img
run empty-1 write_image "{$target,\"imagePath\":\"empty.img\",\"taskId\":\"empty-1\"}"

section "Blank cards that Windows mounts as soon as the write lets go of them"
# Nothing holds these cards' volumes: once the write is done, Windows reads
# the new partition table, mounts the boot partition and rewrites its FAT
# metadata before the readback. The write judges the difference itself
# (readbackClass), and verify_boot is told so. Streamed on PhysicalDrive2,
# from the prepared image on PhysicalDrive3.
# digest NAME: the named digest of the last response in the transcript.
digest() { tail -1 transcript.jsonl | grep -o "\"$1\":\"[0-9a-f]*\"" | tail -1 | cut -d'"' -f4; }
for course in 2 3; do
  serial=000000456 image='"imagePath":"pi.img.xz","decompress":true'
  [ "$course" = 3 ] && serial=000000789 image='"imagePath":"pi.img.prepared"'
  card_target=${target//PhysicalDrive1/PhysicalDrive$course}
  card_target=${card_target/000000123/$serial}
  run "mount-prep-$course" prepare_disk "{$card_target}"
  run "mount-write-$course" write_image "{$card_target,$image,\"bytesTotal\":$card_bytes,\"taskId\":\"mount-write-$course\"}"
  run "mount-boot-$course" verify_boot "{$card_target,\"expectedSha256\":\"$(digest sourceSha256)\",\"observedSha256\":\"$(digest observedSha256)\",\"verifiedBytes\":$card_bytes,\"mountSideEffectsOnly\":true}"
done

echo "transcript.jsonl: $(wc -l < transcript.jsonl) requests with every line the helper printed"
