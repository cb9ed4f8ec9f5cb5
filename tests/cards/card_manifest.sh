# cards.json, written by make_cards.sh from the globals read_card_layout and
# check_root_against_mdir set and the patches patch_bytes noted.
#
# {
#   "images": { ROLE: {"file", "size", "patches": [{"offset", "bytes"}]} },
#                 ROLE is card, nosig, fatloop, hugecluster or short; only
#                 the patched variants have "patches" ("bytes" in hex, as
#                 written), card-short.img is card.img cut to its "size".
#   "card": {
#     "diskId", "mbr": {"signatureOffset", "partitions": [{"slot", "type",
#                 "startLba", "sectorCount"}]} (the non-empty slots),
#     "bootSector": {"bytesPerSector", "sectorsPerCluster", "reservedSectors",
#                 "numberOfFats", "fatSize32", "rootCluster", "fsInfoSector",
#                 "backupBootSector", "hiddenSectors", "totalSectors32",
#                 "volumeId", "volumeLabel"},
#     "offsets": {"bootSector", "fsInfo", "backupBootSector", "fats": [...],
#                 "data" (cluster 2), "rootDirectory"}   (bytes in card.img)
#     "clusterBytes", "rootChain": [clusters], "rootChainOffsets": [bytes],
#     "rootShortNames": [8.3 names in entry order, no volume label],
#     "rootEntries": [{"index" (32-byte slot in the root), "shortName",
#                 "longName" (only with LFN entries), "attributes",
#                 "caseFlags", "firstCluster", "size"}]  (label included)
#   }
# }

json_list() { local joined; printf -v joined '%s, ' "$@"; printf '[%s]' "${joined%, }"; }
json_strings() { local item list=(); for item in "$@"; do list+=("\"$item\""); done; json_list "${list[@]}"; }

image_json() {
  local role=$1 file=$2
  printf '    "%s": {"file": "%s", "size": %s' "$role" "$file" "$(stat -c %s "$work/$file")"
  [ -n "${patches[$file]:-}" ] && printf ', "patches": [%s]' "${patches[$file]}"
  printf '}'
}

write_manifest() {
  local index slot names=() long entries=() partitions=()
  for ((index = 0; index < ${#part_slot[@]}; index++)); do
    partitions+=("$(printf '{"slot": %s, "type": %s, "startLba": %s, "sectorCount": %s}' \
      "${part_slot[index]}" "${part_type[index]}" "${part_start[index]}" "${part_count[index]}")")
  done
  local named=0
  for ((index = 0; index < ${#entry_name[@]}; index++)); do
    long=""
    if (( ! (entry_attr[index] & 0x08) )); then
      names+=("${entry_name[index]}")
      [ -n "${entry_long[named]}" ] && long=", \"longName\": \"${entry_long[named]}\""
      named=$(( named + 1 ))
    fi
    entries+=("$(printf '\n      {"index": %s, "shortName": "%s"%s, "attributes": %s, "caseFlags": %s, "firstCluster": %s, "size": %s}' \
      "${entry_index[index]}" "${entry_name[index]}" "$long" "${entry_attr[index]}" "${entry_case[index]}" \
      "${entry_cluster[index]}" "${entry_size[index]}")")
  done

  printf '{\n  "images": {\n'
  image_json card card.img; printf ',\n'
  image_json nosig card-nosig.img; printf ',\n'
  image_json fatloop card-fatloop.img; printf ',\n'
  image_json hugecluster card-hugecluster.img; printf ',\n'
  image_json short card-short.img; printf '\n  },\n'
  cat <<EOF
  "card": {
    "diskId": "${disk_id#0x}",
    "mbr": {"signatureOffset": 510, "partitions": $(json_list "${partitions[@]}")},
    "bootSector": {"bytesPerSector": $bytes_per_sector, "sectorsPerCluster": $sectors_per_cluster,
      "reservedSectors": $reserved_sectors, "numberOfFats": $number_of_fats, "fatSize32": $fat_size,
      "rootCluster": $root_cluster, "fsInfoSector": $fs_info_sector, "backupBootSector": $backup_boot_sector,
      "hiddenSectors": $hidden_sectors, "totalSectors32": $total_sectors, "volumeId": "$volume_serial",
      "volumeLabel": "$volume_label"},
    "offsets": {"bootSector": $boot_offset, "fsInfo": $fs_info_offset,
      "backupBootSector": $(( boot_offset + backup_boot_sector * bytes_per_sector )),
      "fats": $(json_list "${fat_offset[@]}"), "data": $data_offset, "rootDirectory": ${root_chain_offset[0]}},
    "clusterBytes": $cluster_bytes,
    "rootChain": $(json_list "${root_chain[@]}"),
    "rootChainOffsets": $(json_list "${root_chain_offset[@]}"),
    "rootShortNames": $(json_strings "${names[@]}"),
    "rootEntries": [$(IFS=,; printf '%s' "${entries[*]}")]
  }
}
EOF
}
