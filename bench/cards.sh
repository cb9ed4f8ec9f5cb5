#!/usr/bin/env bash
# Times flash-card flashing one image onto several cards at once against
# flashing it onto one, on the simulated laptop, and prints the ratio (1.00:
# the extra cards cost nothing; N: no better than one card after another):
# the median of the per-turn ratios of RUNS runs (default 3), taking turns.
#
#   bash bench/cards.sh              # 2 and 4 cards
#   CARDS="2 4 8" RUNS=5 bash bench/cards.sh
#
# Each card is a 64 MiB file-backed USB card reader of its own; the image is
# the test card image (48 MiB, compressed once with xz). The machine paces
# every transfer (msPerMiB) so that the helpers' speeds are a card's, but the
# pacing moves only the simulated clock: the wall time is the work itself,
# on this machine's cores.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${RUNS:-3}"
cards="${CARDS:-2 4}"
build_dir="${BUILD_DIR:-build}"
helper="$build_dir/windows_helper"
source bench/common.sh

prepare_helper
bench_tmp=$(mktemp -d)
trap 'rm -rf "$bench_tmp"' EXIT
xz -T1 -k -c "$build_dir/cards/card.img" >"$bench_tmp/pi.img.xz"

# A laptop with `n` cards in drives 2, 3, …, each blank.
laptop() { # dir n
  local dir=$1 n=$2 drives="" i
  rm -rf "$dir"
  mkdir -p "$dir"
  ln -s "$PWD/$build_dir/tools/fake-powershell" "$dir/powershell"
  ln -s "$bench_tmp/pi.img.xz" "$dir/pi.img.xz"
  for i in $(seq 2 $((n + 1))); do
    truncate -s 64M "$dir/card$i.img"
    drives+="${drives:+,}{\"number\": $i, \"backingFile\": \"card$i.img\", \"vendor\": \"Generic\","
    drives+=" \"product\": \"STORAGE DEVICE\", \"serial\": \"BENCH-$i\", \"busType\": 7}"
  done
  printf '{"elevated": true, "sleepScale": 0, "msPerMiB": 25, "drives": [%s]}\n' "$drives" >"$dir/machine.json"
}

flash_cards() { # dir n
  local args="" i
  for i in $(seq 2 $(($2 + 1))); do args+=" --disk $i"; done
  echo "cd $1 && WINDOWS_HELPER_SIM_DIR=$1 $PWD/$build_dir/flash-card --helper $PWD/$helper --yes$args pi.img.xz"
}

fresh_laptops() {
  laptop "$bench_tmp/one" 1
  laptop "$bench_tmp/many" "$n"
}

# The median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
printf "%-24s %9s %9s %7s\n" "case" "N cards" "one card" "ratio"
for n in $cards; do
  ratios=() many_times=() one_times=()
  for _ in $(seq "$runs"); do
    fresh_laptops
    read -r m _ status < <(time_once "$(flash_cards "$bench_tmp/many" "$n")")
    must_succeed "$status" "flash of $n cards" "$(flash_cards "$bench_tmp/many" "$n")"
    read -r o _ status < <(time_once "$(flash_cards "$bench_tmp/one" 1)")
    must_succeed "$status" "flash of one card" "$(flash_cards "$bench_tmp/one" 1)"
    many_times+=("$m")
    one_times+=("$o")
    ratios+=("$(awk -v m="$m" -v o="$o" 'BEGIN { print (o > 0 ? m / o : 0) }')")
  done
  awk -v label="$n cards at once" -v m="$(printf '%s\n' "${many_times[@]}" | median)" \
    -v o="$(printf '%s\n' "${one_times[@]}" | median)" -v r="$(printf '%s\n' "${ratios[@]}" | median)" \
    'BEGIN { printf "%-24s %7.2f s %7.2f s %6.2fx\n", label, m, o, r }'
done
