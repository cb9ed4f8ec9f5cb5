#!/usr/bin/env bash
# Installs what is missing, builds, and drives the helper through the commands
# that work so far, on a simulated Windows machine made for the occasion.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
BUILD_DIR=build bash scripts/build.sh >/dev/null
helper="$PWD/build/windows_helper"

machine=$(mktemp -d)
trap 'rm -rf "$machine"' EXIT
# A laptop: an NVMe system disk, a fixed SATA data disk, a USB card reader
# holding a 64 MiB card with one mounted volume (E:), and an SD slot whose
# card has its write-protect switch on. The process runs elevated.
truncate -s 64M "$machine/card.img"
truncate -s 32M "$machine/locked.img"
: > "$machine/system.img"
: > "$machine/data.img"
mkdir "$machine/boot"
cat > "$machine/machine.json" <<'JSON'
{
  "elevated": true,
  "sleepScale": 0,
  "drives": [
    {"number": 0, "backingFile": "system.img", "sizeBytes": 512110190592, "vendor": "NVMe",
     "product": "Samsung SSD 980", "serial": "S6B0NL0T", "busType": 17, "removableMedia": false,
     "isSystem": true, "isBoot": true, "partitionStyle": "GPT"},
    {"number": 1, "backingFile": "data.img", "sizeBytes": 1000204886016, "vendor": "ATA",
     "product": "ST1000LM035", "serial": "WL1A2B3C", "busType": 11, "removableMedia": false},
    {"number": 2, "backingFile": "card.img", "vendor": "Generic", "product": "STORAGE DEVICE",
     "serial": "  000000123  ", "busType": 7, "removableMedia": true},
    {"number": 3, "backingFile": "locked.img", "vendor": "Realtek", "product": "SD Card Reader",
     "serial": "20121112761000000", "busType": 12, "removableMedia": true, "writeProtectSwitch": true}
  ],
  "volumes": [
    {"name": "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\", "letters": ["E"],
     "extents": [{"disk": 2, "startingOffset": 4194304, "length": 62914560}], "directory": "boot"}
  ]
}
JSON
ln -s "$PWD/build/tools/fake-powershell" "$machine/powershell"
export WINDOWS_HELPER_SIM_DIR="$machine"

run() {
  printf '$ windows_helper'
  printf " '%s'" "$@"
  printf '\n'

  "$helper" "$@"
  echo "(exit status $?)"
  echo
}

echo "Simulated Windows in $machine"
echo
run --request '{"id":"1","sessionId":"demo","command":"health"}'
run --request '{"id":"2","sessionId":"demo","command":"cancel_task","payload":{"taskId":"write-1"}}'
run --request '{"id":"3","sessionId":"demo","command":"Health"}'
# A small disk image, mostly free space, as the app downloads it.
{ head -c 3000000 "$helper"; head -c 8000000 /dev/zero; } > "$machine/os.img"
xz -T1 -c "$machine/os.img" > "$machine/os.img.xz"
image="$machine/os.img.xz"
run --request "{\"id\":\"4\",\"sessionId\":\"demo\",\"command\":\"image_validate_xz\",\"payload\":{\"imagePath\":\"$image\"}}"
run --request "{\"id\":\"5\",\"sessionId\":\"demo\",\"command\":\"image_uncompressed_size\",\"payload\":{\"imagePath\":\"$image\"}}"
run --request "{\"id\":\"6\",\"sessionId\":\"demo\",\"command\":\"image_extract_xz\",\"payload\":{\"imagePath\":\"$image\",\"outputPath\":\"$machine/prepared.img\",\"captureSourceSha\":true}}"
echo "sha256sum of what went in and what came out:"
(cd "$machine" && sha256sum os.img prepared.img os.img.xz)
echo
run --request "{\"id\":\"7\",\"sessionId\":\"demo\",\"command\":\"image_extract_xz\",\"payload\":{\"imagePath\":\"$image\",\"outputPath\":\"\\\\\\\\.\\\\PhysicalDrive1\"}}"
run --request '{"id":"8","sessionId":"demo"}'
run --request

echo "=== The card: list it, take it offline for writing, bring it back ==="
echo
run --request '{"id":"10","sessionId":"demo","command":"list_disks"}'
card='"osDevicePath":"\\\\.\\PhysicalDrive2","expectedIdentity":{"physicalDriveNumber":"\\\\.\\PhysicalDrive2","sizeBytes":67108864,"serial":"000000123"}'
# The card's drive and volume as machine.json holds them.
show_card() {
  echo "$1"
  if command -v python3 >/dev/null; then
    python3 - "$machine/machine.json" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
for d in m["drives"]:
    if d["number"] == 2:
        print("    drive 2: serial %s, offline %s, readOnly %s" % (json.dumps(d.get("serial")), json.dumps(d.get("offline", False)), json.dumps(d.get("readOnly", False))))
for v in m["volumes"]:
    print("    volume %s: letters %s, mounted %s" % (v["name"], json.dumps(v.get("letters", [])), json.dumps(v.get("mounted", True))))
PY
  else
    cat "$machine/machine.json"
  fi
  echo
}
show_card "machine.json before prepare_disk:"
run --request "{\"id\":\"11\",\"sessionId\":\"demo\",\"command\":\"prepare_disk\",\"payload\":{$card}}"
show_card "machine.json after prepare_disk (offline, no letter, volume dismounted):"
run --request "{\"id\":\"12\",\"sessionId\":\"demo\",\"command\":\"finalize_disk\",\"payload\":{$card}}"
show_card "machine.json after finalize_disk (online again):"

echo "=== Another card of the same size is put in the reader ==="
echo
sed -i 's/"  000000123  "/"7F3A0C91"/' "$machine/machine.json"
run --request "{\"id\":\"13\",\"sessionId\":\"demo\",\"command\":\"prepare_disk\",\"payload\":{$card}}"
run --request "{\"id\":\"14\",\"sessionId\":\"demo\",\"command\":\"detach_target\",\"payload\":{$card}}"

echo "=== Flash a realistic card image: extract, prepare, write, verify ==="
echo
# The original card is back in the reader.
sed -i 's/"7F3A0C91"/"  000000123  "/' "$machine/machine.json"
# A Raspberry Pi OS-like image: MBR, FAT32 boot partition at 4 MiB with the
# firmware and kernel files, Linux root partition.
bash tests/cards/make_cards.sh "$machine/cards" >/dev/null
xz -T1 -c "$machine/cards/card.img" > "$machine/pi.img.xz"
run --request "{\"id\":\"20\",\"sessionId\":\"demo\",\"command\":\"image_extract_xz\",\"payload\":{\"imagePath\":\"$machine/pi.img.xz\",\"outputPath\":\"$machine/pi.img\"}}"
size=$(stat -c %s "$machine/pi.img")
run --request "{\"id\":\"21\",\"sessionId\":\"demo\",\"command\":\"prepare_disk\",\"payload\":{$card}}"
run --request "{\"id\":\"22\",\"sessionId\":\"demo\",\"command\":\"write_image\",\"payload\":{$card,\"imagePath\":\"$machine/pi.img\",\"taskId\":\"write-1\"}}"
run --request "{\"id\":\"23\",\"sessionId\":\"demo\",\"command\":\"verify_hash\",\"payload\":{$card,\"bytesTotal\":$size}}"
echo "sha256sum of the prepared image:"
(cd "$machine" && sha256sum pi.img)
echo
echo "The card's boot partition, listed by mtools from the drive's bytes:"
MTOOLS_SKIP_CHECK=1 mdir -i "$machine/card.img@@4M" ::
echo
echo "=== Windows mounts the card when it comes back online ==="
echo
run --request "{\"id\":\"24\",\"sessionId\":\"demo\",\"command\":\"finalize_disk\",\"payload\":{$card}}"
grep '"op":"mountSideEffect"' "$machine/events.log" | tail -n 1 | sed 's/^/    /'
echo
run --request "{\"id\":\"25\",\"sessionId\":\"demo\",\"command\":\"classify_mismatch\",\"payload\":{$card,\"imagePath\":\"$machine/pi.img\",\"bytesTotal\":$size}}"
echo "=== A byte of the root directory goes bad on the card ==="
echo
root=$(sed -n 's/.*"rootDirectory": *\([0-9]*\).*/\1/p' "$machine/cards/cards.json" | head -n 1)
printf 'X' | dd of="$machine/card.img" bs=1 seek="$root" conv=notrunc status=none
run --request "{\"id\":\"26\",\"sessionId\":\"demo\",\"command\":\"classify_mismatch\",\"payload\":{$card,\"imagePath\":\"$machine/pi.img\",\"bytesTotal\":$size}}"
run --request "{\"id\":\"27\",\"sessionId\":\"demo\",\"command\":\"read_sectors\",\"payload\":{$card,\"startLba\":$((root / 512)),\"sectorCount\":1}}"

echo "PowerShell received these scripts:"
cat "$machine/powershell.log"
echo
echo "The system disk was never opened; what the helper did to the drives:"
grep -c '"op":"open"' "$machine/events.log" | sed 's/^/    opens: /'
grep -c 'PhysicalDrive0' "$machine/events.log" | sed 's/^/    events on PhysicalDrive0: /' || true
