#!/usr/bin/env bash
# The sample files that Debian's xz-utils, bzip2 and libzstd sources ship for
# their own decoders' tests, through the helper's format-neutral commands,
# against each format's own tool: where `xz -dc`, `bzip2 -dc` or `zstd -dc`
# decodes a file, image_extract must give the same bytes and image_validate
# say valid; where the tool refuses it, both must answer XZ_INVALID. A
# sample whose first bytes are not its format's signature is, to the helper,
# a raw image (the format comes from the bytes, never the name): it must be
# copied as it is. The samples are no disk images, so they are asked for with
# rawWithoutPartitionTable; one that decodes to nothing is refused as empty,
# and one that decodes to another compressed file as compressed twice.
#
#   bash tests/debian_samples.sh HELPER
#
# The sources are fetched once (apt-get source) into the cache the Windows
# libraries use, keeping only the sample files.
set -euo pipefail
helper=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
cache_root="${WINDOWS_HELPER_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/windows_helper-deps}/samples"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
log() { echo "debian samples: $*" >&2; }
source "$root/scripts/debian-sources.sh"

# The sample files of `package`, fetched on first use: the paths, one a line.
samples() { # package pattern...
  local package=$1 dir
  shift
  dir="$cache_root/$package"
  if [ ! -f "$dir/.complete" ]; then
    ensure_deb_src
    local work="$dir.work" version source
    rm -rf "$work" "$dir"
    mkdir -p "$work"
    read -r version source < <(fetch_source "$package" "$work")
    mkdir -p "$dir"
    for pattern in "$@"; do
      (cd "$source" && find . -path "./$pattern" -type f -exec cp --parents {} "$dir/" \;)
    done
    rm -rf "$work"
    echo "$version" >"$dir/.complete"
  fi
  find "$dir" -type f ! -name .complete | sort
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/sim"
echo '{"elevated": true}' >"$tmp/sim/machine.json"
export WINDOWS_HELPER_SIM_DIR="$tmp/sim"
ask() { # command payload
  "$helper" --request "{\"id\":\"s\",\"sessionId\":\"s\",\"command\":\"$1\",\"payload\":{$2}}" | tail -n 1
}

failures=0 checked=0
check() { # tool signature-hex file
  local tool=$1 signature=$2 file=$3 path
  path=$(printf '%s' "$file" | sed 's/["\\]/\\&/g')
  checked=$((checked + 1))
  local validated extracted status=0
  if [ "$(head -c $((${#signature} / 2)) "$file" | od -An -tx1 | tr -d ' \n')" = "$signature" ]; then
    $tool -dc "$file" >"$tmp/expected" 2>/dev/null || status=$?
  else
    cp "$file" "$tmp/expected"
  fi
  validated=$(ask image_validate "\"imagePath\":\"$path\",\"rawWithoutPartitionTable\":true")
  rm -f "$tmp/prepared"
  extracted=$(ask image_extract \
    "\"imagePath\":\"$path\",\"outputPath\":\"$tmp/prepared\",\"rawWithoutPartitionTable\":true")
  local head
  head=$(head -c 6 "$tmp/expected" | od -An -tx1 | tr -d ' \n')
  if [ "$status" -eq 0 ] && [[ $head == "$xz_magic"* || $head == "$zstd_magic"* || $head == 1f8b* ||
                                $head == "$bzip2_magic"* ]]; then
    if [[ $validated != *'compressed twice'* || $extracted != *'compressed twice'* ]]; then
      echo "FAIL ${file#"$cache_root"/}: $tool decodes it to a compressed file; the helper: $validated $extracted"
      failures=$((failures + 1))
    fi
  elif [ "$status" -eq 0 ] && [ ! -s "$tmp/expected" ]; then
    if [[ $validated != *'The image is empty'* || $extracted != *'The image is empty'* ]]; then
      echo "FAIL ${file#"$cache_root"/}: $tool decodes it to nothing; the helper: $validated $extracted"
      failures=$((failures + 1))
    fi
  elif [ "$status" -eq 0 ]; then
    if [[ $validated != *'"ok":true'* || $extracted != *'"ok":true'* ]] || ! cmp -s "$tmp/expected" "$tmp/prepared"; then
      echo "FAIL ${file#"$cache_root"/}: $tool decodes it; the helper: $validated $extracted"
      failures=$((failures + 1))
    fi
  elif [[ $validated != *'"errorCode":"XZ_INVALID"'* || $extracted != *'"errorCode":"XZ_INVALID"'* ]]; then
    echo "FAIL ${file#"$cache_root"/}: $tool refuses it (exit $status); the helper: $validated $extracted"
    failures=$((failures + 1))
  fi
}

readonly xz_magic=fd377a585a00 bzip2_magic=425a68 zstd_magic=28b52ffd
while read -r file; do check xz $xz_magic "$file"; done < <(samples xz-utils 'tests/files/*.xz')
while read -r file; do check bzip2 $bzip2_magic "$file"; done < <(samples bzip2 'sample*.bz2')
# zstd's golden files: frames to decode, and inputs its own compressor
# packs here at two levels.
while read -r file; do check "zstd -q" $zstd_magic "$file"; done < <(samples libzstd 'tests/golden-decompression/*')
while read -r file; do
  for level in 1 19; do
    zstd -q -"$level" -c "$file" >"$tmp/golden-$level.zst"
    check "zstd -q" $zstd_magic "$tmp/golden-$level.zst"
  done
done < <(samples libzstd 'tests/golden-compression/*')

echo "debian samples: $checked files checked against xz, bzip2 and zstd, $failures failed"
[ "$failures" -eq 0 ]
