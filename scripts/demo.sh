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
# A 64 MiB USB card reader holding one mounted volume, and an elevated process.
truncate -s 64M "$machine/card.img"
mkdir "$machine/boot"
cat > "$machine/machine.json" <<'JSON'
{
  "elevated": true,
  "drives": [
    {"number": 1, "backingFile": "card.img", "vendor": "Generic", "product": "STORAGE DEVICE",
     "serial": "000000123", "busType": 7, "removableMedia": true}
  ],
  "volumes": [
    {"name": "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\",
     "extents": [{"disk": 1, "startingOffset": 4194304, "length": 62914560}], "directory": "boot"}
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
run --request '{"id":"8","sessionId":"demo","command":"list_disks"}'
run --request '{"id":"9","sessionId":"demo"}'
run --request
echo "PowerShell received these scripts:"
cat "$machine/powershell.log"
