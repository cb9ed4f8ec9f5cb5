#!/usr/bin/env bash
# make_sparse_cards.sh OUT_DIR — the disk images the sparse-write proof
# writes onto cards, each made with the real tools (sfdisk, mkfs.fat,
# mtools, mke2fs -d) and a few tens of MiB:
#
#   fat-ext4.img     MBR: FAT32 (type 0x0c) holding files, one of them all
#                    zeros; ext4 (type 0x83) with flex_bg, metadata_csum and
#                    groups flagged BLOCK_UNINIT, filled by mke2fs -d.
#   gpt.img          GPT: an EFI system partition with FAT16, a basic data
#                    partition with FAT12, a Linux one with ext4 of 1 KiB blocks.
#   unknown.img      MBR: FAT32; an ext4 behind type 0xda; an extended
#                    partition (type 0x05) whose logical one holds ext2.
#   unsupported.img  MBR: FAT16 (type 0x0e); ext4 whose superblock carries an
#                    incompatible feature no library knows (bit 0x00800000).
#   short.img        fat-ext4.img cut 8 MiB into its ext4 partition.
#   *.img.zst        each, compressed, for the streamed writes.
#   above-4gib.img   MBR: an empty FAT32 that ends at 4 GiB, then FAT16
#                    holding files at 4 GiB: a sparse write's extents past
#                    4 GiB with 4 GiB of skipped space before them. A sparse
#                    file of 4 GiB and 16 MiB, for the Wine disk driver.
#
# Tools may be named by SFDISK, MKFS_FAT, MCOPY, MMD, MKE2FS (the build
# passes what it found). The same input gives the same bytes.
set -euo pipefail

out=${1:?usage: make_sparse_cards.sh OUT_DIR}
PATH=$PATH:/usr/sbin:/sbin
: "${SFDISK:=sfdisk}" "${MKFS_FAT:=mkfs.fat}" "${MCOPY:=mcopy}" "${MMD:=mmd}" "${MKE2FS:=mke2fs}"
export LC_ALL=C TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null SOURCE_DATE_EPOCH=1700000000 E2FSPROGS_FAKE_TIME=1700000000
readonly mib=1048576
mkdir -p "$out"
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "make_sparse_cards.sh: $*" >&2; exit 1; }

# Files of fixed content: pseudo-random bytes, zeros and text.
bytes() { # seed count
  { openssl enc -aes-128-ctr -nosalt -pass "pass:$1" -pbkdf2 -iter 1 </dev/zero 2>/dev/null || true; } | head -c "$2"
}
tree() { # dir seed [divisor]: the sizes divided for a small file system
  local d=${3:-1}
  mkdir -p "$1/lib/modules" "$1/etc"
  bytes "$2-a" $((3 * mib / d)) >"$1/lib/modules/a.ko"
  bytes "$2-b" $(((1 * mib + 4321) / d)) >"$1/lib/b.bin"
  head -c $((2 * mib / d)) /dev/zero >"$1/zeros.bin"
  printf 'console=serial0,115200 root=PARTUUID=2024b007-02 rootwait\n' >"$1/etc/cmdline.txt"
  for i in $(seq 1 40); do printf 'file %d\n' "$i" >"$1/etc/f$i.conf"; done
}

fat() { # file size-mib fat-bits seed
  truncate -s $(($2 * mib)) "$1"
  "$MKFS_FAT" -F "$3" --invariant -i 2024b007 -n BOOTFS "$1" >/dev/null
  tree "$work/fat-$4" "$4" $(($2 < 16 ? 8 : 1))
  local item
  for item in "$work/fat-$4"/*; do "$MCOPY" -s -i "$1" "$item" ::/; done
}

ext() { # file size-mib seed mke2fs-options...
  local file=$1 size=$2 seed=$3
  shift 3
  truncate -s $((size * mib)) "$file"
  tree "$work/ext-$seed" "$seed"
  "$MKE2FS" -q -F -U 2024b007-0000-4000-8000-000000000002 -E hash_seed=2024b007-0000-4000-8000-000000000003 \
    -d "$work/ext-$seed" "$@" "$file" >/dev/null
}

# place IMAGE PART START-MIB: the partition's file system at its offset.
place() { dd if="$2" of="$1" bs=$mib seek="$3" conv=notrunc,sparse status=none; }

table() { "$SFDISK" --quiet --no-reread --no-tell-kernel "$1" >/dev/null; }

# --- fat-ext4.img: 4 MiB gap, FAT32 40 MiB, ext4 48 MiB, 4 MiB after.
fat "$work/p1" 40 32 boot
ext "$work/p2" 48 root -t ext4 -b 4096 -g 4096 -O flex_bg,metadata_csum,^resize_inode
dumpe2fs "$work/p2" 2>/dev/null | grep -q BLOCK_UNINIT || fail "no BLOCK_UNINIT group in fat-ext4.img's ext4"
truncate -s $((96 * mib)) "$work/fat-ext4.img"
table "$work/fat-ext4.img" <<EOF
label: dos
label-id: 0x2024b007
start=8192, size=$((40 * 2048)), type=c
start=$((44 * 2048)), size=$((48 * 2048)), type=83
EOF
place "$work/fat-ext4.img" "$work/p1" 4
place "$work/fat-ext4.img" "$work/p2" 44

# --- gpt.img: ESP FAT16 16 MiB, basic data FAT12 8 MiB, Linux ext4 32 MiB.
fat "$work/g1" 16 16 esp
fat "$work/g2" 8 12 data
ext "$work/g3" 32 gpt -t ext4 -b 1024
truncate -s $((62 * mib)) "$work/gpt.img"
table "$work/gpt.img" <<EOF
label: gpt
label-id: 2024B007-0000-4000-8000-000000000001
start=2048, size=$((16 * 2048)), type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=2024B007-0000-4000-8000-000000000011
start=$((17 * 2048)), size=$((8 * 2048)), type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=2024B007-0000-4000-8000-000000000012
start=$((26 * 2048)), size=$((32 * 2048)), type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=2024B007-0000-4000-8000-000000000013
EOF
place "$work/gpt.img" "$work/g1" 1
place "$work/gpt.img" "$work/g2" 17
place "$work/gpt.img" "$work/g3" 26

# --- unknown.img: FAT32 36 MiB; ext4 16 MiB behind type 0xda; extended
# partition with one logical ext2 of 8 MiB.
fat "$work/u1" 36 32 unknown
ext "$work/u2" 16 hidden -t ext4
ext "$work/u5" 8 logical -t ext2
truncate -s $((72 * mib)) "$work/unknown.img"
table "$work/unknown.img" <<EOF
label: dos
label-id: 0x2024b008
start=2048, size=$((36 * 2048)), type=c
start=$((40 * 2048)), size=$((16 * 2048)), type=da
start=$((60 * 2048)), size=$((12 * 2048)), type=5
start=$((62 * 2048)), size=$((8 * 2048)), type=83
EOF
place "$work/unknown.img" "$work/u1" 1
place "$work/unknown.img" "$work/u2" 40
place "$work/unknown.img" "$work/u5" 62

# --- unsupported.img: FAT16 20 MiB; ext4 24 MiB with an unknown feature.
fat "$work/s1" 20 16 plain
ext "$work/s2" 24 odd -t ext4 -O ^metadata_csum
feature_at=$((1024 + 0x60 + 2))   # the third byte of s_feature_incompat
printf '\x80' | dd of="$work/s2" bs=1 seek=$feature_at conv=notrunc status=none
truncate -s $((48 * mib)) "$work/unsupported.img"
table "$work/unsupported.img" <<EOF
label: dos
label-id: 0x2024b009
start=2048, size=$((20 * 2048)), type=e
start=$((22 * 2048)), size=$((24 * 2048)), type=83
EOF
place "$work/unsupported.img" "$work/s1" 1
place "$work/unsupported.img" "$work/s2" 22

# --- short.img: fat-ext4.img ending 8 MiB into its ext4 partition.
head -c $((52 * mib)) "$work/fat-ext4.img" >"$work/short.img"

# --- above-4gib.img: FAT32 from 4 MiB to 4 GiB, FAT16 16 MiB at 4 GiB.
truncate -s $((4092 * mib)) "$work/h1"
"$MKFS_FAT" -F 32 --invariant -i 2024b00a -n EMPTY "$work/h1" >/dev/null
fat "$work/h2" 16 16 high
truncate -s $((4112 * mib)) "$work/above-4gib.img"
table "$work/above-4gib.img" <<EOF
label: dos
label-id: 0x2024b00a
start=8192, size=$((4092 * 2048)), type=c
start=$((4096 * 2048)), size=$((16 * 2048)), type=e
EOF
place "$work/above-4gib.img" "$work/h1" 4
place "$work/above-4gib.img" "$work/h2" 4096
mv -f "$work/above-4gib.img" "$out/"

for image in fat-ext4 gpt unknown unsupported short; do
  zstd -q -f -c "$work/$image.img" >"$work/$image.img.zst"
  mv -f "$work/$image.img" "$work/$image.img.zst" "$out/"
done
