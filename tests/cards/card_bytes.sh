# Reading and patching card images byte by byte, sourced by make_cards.sh.
# Plain od and dd, so that a build machine needs nothing beyond coreutils.

fail() { echo "make_cards.sh: unexpected layout: $*" >&2; exit 1; }

# byte_at FILE OFFSET, le FILE OFFSET COUNT: unsigned numbers, little-endian.
byte_at() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }
le() {
  local value=0 shift=0 byte
  for byte in $(od -An -tu1 -v -j "$2" -N "$3" "$1"); do
    value=$(( value | byte << shift ))
    shift=$(( shift + 8 ))
  done
  echo "$value"
}

le32_hex() { local v=$(( $1 )); printf '%02x%02x%02x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)); }

# patch_bytes FILE OFFSET HEX: overwrites bytes in place and notes the patch
# for the manifest.
declare -A patches=()
patch_bytes() {
  local escapes
  escapes=$(printf '%s' "$3" | sed 's/../\\x&/g')
  printf '%b' "$escapes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
  patches[${1##*/}]+="${patches[${1##*/}]:+, }{\"offset\": $2, \"bytes\": \"$3\"}"
}

# read_card_layout FILE: the MBR, the boot sector of partition 1 and its root
# directory, into globals.
read_card_layout() {
  local file=$1 slot entry base
  part_slot=() part_type=() part_start=() part_count=()
  for slot in 1 2 3 4; do
    base=$(( 446 + 16 * (slot - 1) ))
    [ "$(byte_at "$file" $((base + 4)))" = 0 ] && continue
    part_slot+=("$slot")
    part_type+=("$(byte_at "$file" $((base + 4)))")
    part_start+=("$(le "$file" $((base + 8)) 4)")
    part_count+=("$(le "$file" $((base + 12)) 4)")
  done

  boot_offset=$(( part_start[0] * 512 ))
  bs() { le "$file" $((boot_offset + $1)) "$2"; }
  bytes_per_sector=$(bs 11 2) sectors_per_cluster=$(bs 13 1) reserved_sectors=$(bs 14 2)
  number_of_fats=$(bs 16 1) hidden_sectors=$(bs 28 4) total_sectors=$(bs 32 4)
  fat_size=$(bs 36 4) root_cluster=$(bs 44 4) fs_info_sector=$(bs 48 2) backup_boot_sector=$(bs 50 2)
  volume_serial=$(printf '%08x' "$(bs 67 4)")
  [ "$(bs 510 2)" = $((0xAA55)) ] || fail "boot sector signature"
  [ "$hidden_sectors" = "${part_start[0]}" ] || fail "hidden sectors"

  fs_info_offset=$(( boot_offset + fs_info_sector * bytes_per_sector ))
  [ "$(le "$file" "$fs_info_offset" 4):$(le "$file" $((fs_info_offset + 484)) 4)" = \
    "$((0x41615252)):$((0x61417272))" ] || fail "FSInfo signatures"
  fat_offset=()
  for ((entry = 0; entry < number_of_fats; entry++)); do
    fat_offset+=($(( boot_offset + (reserved_sectors + entry * fat_size) * bytes_per_sector )))
  done
  cluster_bytes=$(( sectors_per_cluster * bytes_per_sector ))
  data_offset=$(( boot_offset + (reserved_sectors + number_of_fats * fat_size) * bytes_per_sector ))

  # The root's chain, by the first FAT.
  root_chain=() root_chain_offset=()
  local cluster=$root_cluster
  while (( cluster < 0x0FFFFFF8 )); do
    (( cluster >= 2 && ${#root_chain[@]} < 64 )) || fail "root cluster chain"
    root_chain+=("$cluster")
    root_chain_offset+=($(( data_offset + (cluster - 2) * cluster_bytes )))
    cluster=$(( $(le "$file" $((fat_offset[0] + 4 * cluster)) 4) & 0x0FFFFFFF ))
  done

  # The root's entries: short names, attributes, the lower-case flags of byte
  # 12, first clusters and sizes. LFN (attributes 0x0F) and deleted entries are
  # skipped; the index counts every 32-byte slot.
  local bytes=() offset name ext
  for offset in "${root_chain_offset[@]}"; do
    bytes+=($(od -An -tu1 -v -j "$offset" -N "$cluster_bytes" "$file"))
  done
  entry_index=() entry_name=() entry_attr=() entry_case=() entry_cluster=() entry_size=()
  for ((entry = 0; entry < ${#bytes[@]} / 32; entry++)); do
    base=$(( entry * 32 ))
    (( bytes[base] == 0 )) && break
    (( bytes[base] == 0xE5 || bytes[base + 11] == 0x0F )) && continue
    name=$(ascii "${bytes[@]:base:8}") ext=$(ascii "${bytes[@]:base+8:3}")
    name=${name%"${name##*[! ]}"} ext=${ext%"${ext##*[! ]}"}
    if (( bytes[base + 11] & 0x08 )); then
      volume_label=$(ascii "${bytes[@]:base:11}")
      volume_label=${volume_label%"${volume_label##*[! ]}"}
    fi
    entry_index+=("$entry")
    entry_name+=("$name${ext:+.$ext}")
    entry_attr+=("${bytes[base + 11]}")
    entry_case+=("${bytes[base + 12]}")
    entry_cluster+=($(( bytes[base + 20] << 16 | bytes[base + 21] << 24 | bytes[base + 26] | bytes[base + 27] << 8 )))
    entry_size+=($(( bytes[base + 28] | bytes[base + 29] << 8 | bytes[base + 30] << 16 | bytes[base + 31] << 24 )))
  done
}

ascii() { local byte text=""; for byte in "$@"; do printf -v text '%s\\%03o' "$text" "$byte"; done; printf '%b' "$text"; }

# check_root_against_mdir PARTITION: mdir must list the same short names,
# sizes and folders, in the same order, as read from the bytes; its long-name
# column gives each entry's long name (entry_long, empty without one).
check_root_against_mdir() {
  local line listed=() index=0 size
  entry_long=()
  while IFS= read -r line; do
    [[ $line =~ ^([^ ].{7})\ (.{3})\ +(\<DIR\>|[0-9]+)\ +[0-9-]+\ +[0-9:]+\ *(.*)$ ]] || continue
    local name=${BASH_REMATCH[1]%"${BASH_REMATCH[1]##*[! ]}"} ext=${BASH_REMATCH[2]%"${BASH_REMATCH[2]##*[! ]}"}
    listed+=("${name^^}${ext:+.${ext^^}}:${BASH_REMATCH[3]}")
    entry_long+=("${BASH_REMATCH[4]% }")
  done < <("$MDIR" -a -i "$1" ::/)
  local from_bytes=()
  for ((index = 0; index < ${#entry_name[@]}; index++)); do
    (( entry_attr[index] & 0x08 )) && continue
    size=${entry_size[index]}
    (( entry_attr[index] & 0x10 )) && size="<DIR>"
    from_bytes+=("${entry_name[index]}:$size")
  done
  [ "${listed[*]}" = "${from_bytes[*]}" ] ||
    fail "mdir lists '${listed[*]}' but the bytes hold '${from_bytes[*]}'"
}
