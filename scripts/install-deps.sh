#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when any is missing.
#   install-deps.sh            the Linux build and its tests
#   install-deps.sh windows    also the MinGW-w64 cross build and Wine
set -euo pipefail

# exfatprogs: the PowerShell stand-in formats cards with mkfs.exfat, and the
# tests check them with fsck.exfat. fdisk, dosfstools, mtools: the build makes
# the test card images (tests/cards) with sfdisk, mkfs.fat and mcopy, the
# Windows build's too.
# clang and libclang-rt-14-dev (only recommended by clang, so named here):
# the fuzz targets are built with libFuzzer.
packages=(cmake make g++ nlohmann-json3-dev libcli11-dev liblzma-dev libssl-dev zlib1g-dev libminizip-dev zip unzip osslsigncode libbz2-dev libzstd-dev
          libgtest-dev xz-utils gzip bzip2 zstd exfatprogs fdisk dosfstools mtools clang libclang-rt-14-dev)
if [ "${1:-}" = windows ]; then
  # dpkg-dev unpacks the source packages the Windows libraries are built from;
  # perl runs OpenSSL's configuration. wine64-preloader (only suggested by
  # wine64): without it Wine claims Windows' fixed addresses only after the
  # kernel has placed the process's heap, which lands on 0x7ffe0000 now and
  # then, and that program dies before it starts (docs/windows.md). The
  # release test signs from a SoftHSM token through OpenSSL's pkcs11 engine
  # and reads the programs' PDBs with llvm-pdbutil.
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix dpkg-dev perl wine wine64 wine64-preloader
             softhsm2 libengine-pkcs11-openssl llvm-14)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
