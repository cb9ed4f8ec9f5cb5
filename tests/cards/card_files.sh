# The files of the boot partition, sourced by make_cards.sh. Small stand-ins
# with the names and rough shape of a Raspberry Pi OS boot partition.

# pseudo_bytes NAME COUNT: COUNT bytes that depend only on NAME (a
# Park-Miller generator seeded from its checksum), so the image is the same on
# every machine without /dev/urandom.
pseudo_bytes() {
  local seed escapes=() i
  seed=$(printf %s "$1" | cksum)
  seed=$(( ${seed%% *} % 2147483646 + 1 ))
  for ((i = 0; i < $2; i++)); do
    seed=$(( seed * 16807 % 2147483647 ))
    escapes+=($(( (seed >> 7) & 255 )))
  done
  printf '%b' "$(printf '\\x%02x' "${escapes[@]}")"
}

# make_boot_files DIR: writes the files into DIR and lists the root's names,
# in the order they are copied, in boot_files. The long names (more than 8.3,
# or mixed case) each take extra LFN entries, which with the rest fill three
# 16-entry clusters of the root directory.
make_boot_files() {
  local dir=$1
  mkdir -p "$dir/overlays"
  cat >"$dir/config.txt" <<'EOF'
# For more options and information see the Raspberry Pi documentation.
dtparam=audio=on
camera_auto_detect=1
display_auto_detect=1
auto_initramfs=1
dtoverlay=vc4-kms-v3d
max_framebuffers=2
disable_fw_kms_setup=1
arm_64bit=1
disable_overscan=1
arm_boost=1

[cm4]
otg_mode=1

[all]
EOF
  printf 'console=serial0,115200 console=tty1 root=PARTUUID=2024b007-02 rootfstype=ext4 fsck.repair=yes rootwait\n' \
    >"$dir/cmdline.txt"
  printf 'Test card for windows_helper, made by tests/cards/make_cards.sh\n' >"$dir/issue.txt"
  for ((line = 0; line < 40; line++)); do
    printf 'Redistribution and use in binary form, without modification, are permitted. (%02d)\n' "$line"
  done >"$dir/LICENCE.broadcom"

  # Binary stand-ins; kernel8.img spans many clusters and ends mid-cluster.
  pseudo_bytes start4.elf 6200 >"$dir/start4.elf"
  pseudo_bytes fixup4.dat 3100 >"$dir/fixup4.dat"
  pseudo_bytes kernel8.img 20000 >"$dir/kernel8.img"
  pseudo_bytes kernel_2712.img 3000 >"$dir/kernel_2712.img"
  pseudo_bytes start4cd.elf 2100 >"$dir/start4cd.elf"
  pseudo_bytes fixup4cd.dat 1100 >"$dir/fixup4cd.dat"
  pseudo_bytes start4x.elf 2300 >"$dir/start4x.elf"
  pseudo_bytes fixup4x.dat 1200 >"$dir/fixup4x.dat"
  pseudo_bytes initramfs8 4000 >"$dir/initramfs8"
  local dtb
  for dtb in bcm2711-rpi-4-b bcm2711-rpi-400 bcm2711-rpi-cm4 bcm2712-rpi-5-b bcm2710-rpi-3-b-plus \
             bcm2710-rpi-zero-2-w; do
    pseudo_bytes "$dtb" 1500 >"$dir/$dtb.dtb"
  done
  pseudo_bytes vc4-kms-v3d.dtbo 900 >"$dir/overlays/vc4-kms-v3d.dtbo"
  pseudo_bytes disable-bt.dtbo 700 >"$dir/overlays/disable-bt.dtbo"
  printf 'Overlays for the Raspberry Pi boot partition.\n' >"$dir/overlays/README"

  boot_files=(config.txt cmdline.txt start4.elf fixup4.dat kernel8.img bcm2711-rpi-4-b.dtb
              bcm2711-rpi-400.dtb bcm2711-rpi-cm4.dtb overlays issue.txt LICENCE.broadcom
              start4cd.elf fixup4cd.dat bcm2712-rpi-5-b.dtb kernel_2712.img start4x.elf fixup4x.dat
              initramfs8 bcm2710-rpi-3-b-plus.dtb bcm2710-rpi-zero-2-w.dtb)
}
