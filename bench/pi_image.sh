#!/usr/bin/env bash
# bench/pi_image.sh IMAGE — a Raspberry Pi OS-like image as the OS's image
# builder lays it out, for the sparse-write bench (bench/card.sh --sparse):
#
#   4 MiB before the first partition;
#   a 512 MiB FAT32 boot partition (type 0x0c) holding about 90 MiB;
#   an ext4 root partition (type 0x83) of its contents' size x 1.2 + 200 MiB,
#   filled by mke2fs -d with about 1.2 GiB of this machine's /usr;
#   2,168 MiB in all (ROOT_MIB changes the root's contents).
#
# Its files are system files (compressible code, data and text), its free
# space zeros. Nothing of it is stored in the repository; the bench keeps it
# in bench/cache. Needs sfdisk, mkfs.fat, mtools and mke2fs.
set -euo pipefail
image=${1:?usage: pi_image.sh IMAGE}
root_mib=${ROOT_MIB:-1210}
boot_mib=${BOOT_MIB:-90}
PATH=$PATH:/usr/sbin:/sbin
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C
readonly mib=1048576
work=$(mktemp -d "$(dirname "$image")/.pi-image.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The root's contents: hard links to /usr files (no copy), whole directories
# in a fixed order until about ROOT_MIB.
mkdir -p "$work/root"
for dir in /usr/share /usr/include /usr/bin /usr/sbin /usr/lib/x86_64-linux-gnu /usr/lib/gcc /usr/libexec; do
  [ -d "$dir" ] && find "$dir" -xdev -type f -printf '%s\t%p\n' | sort -t "$(printf '\t')" -k2
done | awk -F '\t' -v max=$((root_mib * mib)) '{ if (total + $1 <= max) { total += $1; print $2 } }' >"$work/files"
xargs -d '\n' cp --parents -l -t "$work/root" <"$work/files" 2>/dev/null ||
  xargs -d '\n' cp --parents -t "$work/root" <"$work/files"
used_mib=$(du -sm "$work/root" | cut -f1)
root_size=$((used_mib * 12 / 10 + 200))
boot_size=512
disk_mib=$((4 + boot_size + root_size))

# The boot files: the largest libraries, to about BOOT_MIB.
truncate -s $((boot_size * mib)) "$work/boot.part"
mkfs.fat -F 32 -n bootfs "$work/boot.part" >/dev/null
boot_total=0
while read -r size file; do
  [ $((boot_total + size)) -le $((boot_mib * mib)) ] || continue
  mcopy -i "$work/boot.part" "$file" "::$(basename "$file" | tr -c 'A-Za-z0-9._\n' _)" 2>/dev/null || continue
  boot_total=$((boot_total + size))
done < <(find /usr/lib -xdev -type f -name '*.so*' -printf '%s %p\n' | sort -rn | head -n 200)

truncate -s $((root_size * mib)) "$work/root.part"
mke2fs -q -F -t ext4 -L rootfs -d "$work/root" "$work/root.part"

rm -f "$image"
truncate -s $((disk_mib * mib)) "$image"
sfdisk --quiet --no-reread --no-tell-kernel "$image" >/dev/null <<EOF
label: dos
start=8192, size=$((boot_size * 2048)), type=c
start=$(((4 + boot_size) * 2048)), type=83
EOF
dd if="$work/boot.part" of="$image" bs=$mib seek=4 conv=notrunc,sparse status=none
dd if="$work/root.part" of="$image" bs=$mib seek=$((4 + boot_size)) conv=notrunc,sparse status=none
echo "pi_image.sh: $image: $disk_mib MiB, boot $boot_size MiB holding $((boot_total / mib)) MiB," \
  "root $root_size MiB holding $used_mib MiB" >&2
