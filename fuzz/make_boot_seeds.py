#!/usr/bin/env python3
"""make_boot_seeds.py FAT_PART OUT_DIR — the seed cards of boot_image_fuzzer.

FAT_PART is a 1 MiB FAT32 file system from
  mkfs.fat -C -F 32 -s 1 -R 2 -b 0 -f 1 --invariant -i 1234abcd -n BOOTFS -h 1 FAT_PART 1024
(mtools takes a volume this small for FAT12, so the root directory's entries
are written here). Each seed is an MBR (FAT32 partition at LBA 1, a Linux
partition after it that the reader only measures) followed by the start of
that file system, cut after the root directory's last cluster: a dozen KiB
that reach every step of the inspection.

  good.img   the usual boot files, a volume label, a long-name entry and a
             deleted entry; the root directory spans clusters 2, 5, 3
  loop.img   the same, the root's last cluster pointing back to its first
  huge.img   the root's first cluster pointing far beyond the card
"""
import struct
import sys

SECTOR = 512
FAT_LBA = 3  # partition at LBA 1, two reserved sectors
FAT_SECTORS = 16
DATA_LBA = FAT_LBA + FAT_SECTORS
ROOT_CHAIN = [2, 5, 3]
END = 0x0FFFFFFF


def entry(name, ext, attributes=0x20, first=b""):
    raw = (first or name.ljust(8).encode()) + ext.ljust(3).encode()
    return raw[:11] + bytes([attributes]) + bytes(20)


def long_name_entry():
    return bytes([0x41]) + "b\0o\0o\0t\0f\0".encode() + bytes([0x0F, 0, 0]) + bytes(18)


def directory_clusters():
    entries = [entry("BOOTFS", "", 0x08), long_name_entry(), entry("CONFIG", "TXT"),
               entry("OLDFILE", "TXT", first=b"\xe5LDFILE ")]
    entries += [entry("BCM27%02d" % k, "DTB") for k in range(12)]
    entries += [entry("CMDLINE", "TXT"), entry("START4", "ELF"), entry("FIXUP4", "DAT"),
                entry("OVERLAYS", "", 0x10)]
    entries += [entry("DTB%02d" % k, "DAT") for k in range(12)]
    entries += [entry("KERNEL8", "IMG"), entry("ISSUE", "TXT")]
    data = b"".join(entries).ljust(len(ROOT_CHAIN) * SECTOR, b"\0")
    return [data[k * SECTOR:(k + 1) * SECTOR] for k in range(len(ROOT_CHAIN))]


def mbr():
    sector = bytearray(SECTOR)
    struct.pack_into("<I", sector, 440, 0x1234ABCD)
    struct.pack_into("<B3sBB2sII", sector, 446, 0, b"\0\0\0", 0x0C, 0, b"\0\0", 1, 2048)
    struct.pack_into("<B3sBB2sII", sector, 462, 0, b"\0\0\0", 0x83, 0, b"\0\0", 2049, 2000000)
    sector[510:512] = b"\x55\xaa"
    return bytes(sector)


def card(part, next_of):
    image = bytearray(mbr() + part[:(DATA_LBA - 1 + max(ROOT_CHAIN) - 1) * SECTOR])
    fat = FAT_LBA * SECTOR
    for cluster, following in next_of.items():
        struct.pack_into("<I", image, fat + 4 * cluster, following)
    for cluster, data in zip(ROOT_CHAIN, directory_clusters()):
        at = (DATA_LBA + cluster - 2) * SECTOR
        image[at:at + SECTOR] = data
    return bytes(image)


def main():
    part = open(sys.argv[1], "rb").read()
    out = sys.argv[2]
    chain = {2: 5, 5: 3, 3: END}
    seeds = {"good.img": chain, "loop.img": {**chain, 3: 2}, "huge.img": {**chain, 2: 0x0FFFFFF0}}
    for name, next_of in seeds.items():
        with open(f"{out}/{name}", "wb") as file:
            file.write(card(part, next_of))


main()
