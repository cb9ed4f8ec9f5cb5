#!/usr/bin/env bash
# make_cards.sh OUT_DIR — Raspberry-Pi-style SD card images for the tests of
# the MBR/FAT32 reader and of the flash commands, made with the real tools
# (sfdisk, mkfs.fat, mtools) so that no byte of the good image is hand made.
#
#   card.img              48 MiB. MBR (disk id 0x2024b007) with partition 1,
#                         type 0x0c (FAT32 LBA) at LBA 8192 (4 MiB), 40 MiB,
#                         and partition 2, type 0x83, filling the rest (zeros).
#                         Partition 1 holds FAT32 "BOOTFS" (one 512-byte sector
#                         per cluster, volume id 2024-B007) with the usual boot
#                         files, an overlays folder and enough long names that
#                         the root directory spans three clusters, not
#                         contiguous. fsck.fat finds it clean.
#   card-nosig.img        card.img without the MBR signature (bytes 510-511).
#   card-fatloop.img      the root directory's last cluster points back to its
#                         first, in both FATs.
#   card-hugecluster.img  the root's first cluster points to 0x0FFFFFF0, far
#                         beyond the image, in both FATs.
#   card-short.img        card.img cut 1 KiB into the boot partition: the boot
#                         sector and FSInfo are there, the FATs are not.
#   cards.json            each image's file and size, the patches of the
#                         corrupt ones, and card.img's layout read back from
#                         its bytes (partitions, boot sector fields, offsets,
#                         the root's cluster chain and entries), cross-checked
#                         with mdir, so tests need no reader of their own.
#
# The same input gives the same bytes: fixed ids, mkfs.fat --invariant and
# SOURCE_DATE_EPOCH for mtools. Tools may be named by SFDISK, MKFS_FAT,
# FSCK_FAT, MCOPY, MMD and MDIR (the build passes what it found).
set -euo pipefail

out=${1:?usage: make_cards.sh OUT_DIR}
PATH=$PATH:/usr/sbin:/sbin
: "${SFDISK:=sfdisk}" "${MKFS_FAT:=mkfs.fat}" "${FSCK_FAT:=fsck.fat}"
: "${MCOPY:=mcopy}" "${MMD:=mmd}" "${MDIR:=mdir}"
for tool in "$SFDISK" "$MKFS_FAT" "$FSCK_FAT" "$MCOPY" "$MMD" "$MDIR"; do
  command -v "$tool" >/dev/null || { echo "make_cards.sh: $tool not found (scripts/install-deps.sh)" >&2; exit 1; }
done
export LC_ALL=C TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null SOURCE_DATE_EPOCH=1700000000

mkdir -p "$out"
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

readonly mib=1048576 sector=512
readonly card_size=$((48 * mib)) boot_lba=8192 boot_sectors=$((40 * mib / sector))
readonly disk_id=0x2024b007 volume_id=2024b007

source "$(dirname "$0")/card_bytes.sh"
source "$(dirname "$0")/card_files.sh"
source "$(dirname "$0")/card_manifest.sh"

# --- The boot file system, built on its own file, then filled by mtools.
part=$work/boot.part
truncate -s $((boot_sectors * sector)) "$part"
"$MKFS_FAT" -F 32 -s 1 --invariant -i "$volume_id" -n BOOTFS -h "$boot_lba" "$part" >/dev/null
make_boot_files "$work/files"
for name in "${boot_files[@]}"; do
  if [ -d "$work/files/$name" ]; then
    "$MMD" -i "$part" "::$name"
    for inner in "$work/files/$name"/*; do "$MCOPY" -i "$part" "$inner" "::$name/"; done
  else
    "$MCOPY" -i "$part" "$work/files/$name" "::$name"
  fi
done
"$FSCK_FAT" -n "$part" >"$work/fsck.txt" 2>&1 || { cat "$work/fsck.txt" >&2; exit 1; }

# --- The card: partition table first, then the file system at its offset.
card=$work/card.img
truncate -s "$card_size" "$card"
"$SFDISK" --quiet --no-reread --no-tell-kernel "$card" >/dev/null <<EOF
label: dos
label-id: $disk_id
unit: sectors

start=$boot_lba, size=$boot_sectors, type=c
start=$((boot_lba + boot_sectors)), type=83
EOF
dd if="$part" of="$card" bs=$mib seek=$((boot_lba * sector / mib)) conv=notrunc,sparse status=none
cmp -s "$part" <(dd if="$card" bs=$mib skip=$((boot_lba * sector / mib)) count=$((boot_sectors * sector / mib)) status=none) ||
  { echo "make_cards.sh: the boot partition did not land at its offset" >&2; exit 1; }

# --- Read the layout back from the bytes and check it against what was asked.
read_card_layout "$card"
[ "$(byte_at "$card" 510)$(byte_at "$card" 511)" = 85170 ] || fail "MBR signature"
[ "${part_type[0]}:${part_start[0]}:${part_count[0]}" = "12:$boot_lba:$boot_sectors" ] || fail "partition 1"
[ "${part_type[1]}:$((part_start[1] + part_count[1]))" = "131:$((card_size / sector))" ] || fail "partition 2"
[ "$bytes_per_sector:$sectors_per_cluster:$number_of_fats" = "512:1:2" ] || fail "boot sector"
[ ${#root_chain[@]} -ge 2 ] || fail "the root directory should span several clusters"
cmp -s <(dd if="$card" bs=$sector skip=$((fat_offset[0] / sector)) count="$fat_size" status=none) \
       <(dd if="$card" bs=$sector skip=$((fat_offset[1] / sector)) count="$fat_size" status=none) || fail "FAT copies differ"
check_root_against_mdir "$part"

# --- The corrupt variants.
variant() { cp --sparse=always "$card" "$work/$1"; }
variant card-nosig.img
patch_bytes "$work/card-nosig.img" 510 0000
variant card-fatloop.img
variant card-hugecluster.img
for fat in "${fat_offset[@]}"; do
  patch_bytes "$work/card-fatloop.img" $((fat + 4 * root_chain[-1])) "$(le32_hex "$root_cluster")"
  patch_bytes "$work/card-hugecluster.img" $((fat + 4 * root_cluster)) "$(le32_hex 0x0FFFFFF0)"
done
readonly short_size=$((boot_offset + 1024))
head -c "$short_size" "$card" >"$work/card-short.img"
# The card compressed, for writes that decode on the way.
zstd -q -c "$card" >"$work/card.img.zst"

write_manifest >"$work/cards.json"
for file in card.img card.img.zst card-nosig.img card-fatloop.img card-hugecluster.img card-short.img cards.json; do
  mv -f "$work/$file" "$out/$file"
done
