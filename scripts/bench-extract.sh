#!/usr/bin/env bash
# bench-extract.sh: extraction speed and memory of tallyx-unzip against unzip -oq and
# bsdtar -xf on the ~300 MB release corpus, in one run, in two cases:
#   fresh   into an empty folder;
#   update  over an installed tree of the same names, which is what every installation
#           does.
# tallyx-unzip makes the files durable before it puts them in place, so both cases also
# time bsdtar followed by `sync`, the same durability.
# Env: BENCH_TOOLS  folder holding make_corpus.sh (../shared/bench)
#      BENCH_WORK   scratch folder for the corpus and the extractions (build/bench)
#      RUNS         runs per tool and case, median reported (3)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tools=${BENCH_TOOLS:-$root/../shared/bench}
work=${BENCH_WORK:-$root/build/bench}
runs=${RUNS:-3}

cmake --preset release >/dev/null
cmake --build --preset release --target tallyx-unzip
ours=$root/build/release/tools/unzip/tallyx-unzip

mkdir -p "$work"
[ -f "$work/release.zip" ] || bash "$tools/make_corpus.sh" "$work"
zip=$work/release.zip

# Our output must match the corpus. Info-ZIP zip stores the few non-ASCII names without
# the UTF-8 flag, so those read as code page 437 and are left out of the comparison.
check() {
  if diff -rq "$work/release" "$1/release" | LC_ALL=C grep -v $'[\x80-\xff]'; then
    echo "bench-extract: tallyx-unzip output differs from the corpus ($2)" >&2
    exit 1
  fi
}
rm -rf "$work/check"
"$ours" "$zip" "$work/check"
check "$work/check" fresh
"$ours" "$zip" "$work/check"
check "$work/check" update
if find "$work/check" -name '*.~tx*' | grep -q .; then
  echo "bench-extract: tallyx-unzip left staged or backup files" >&2
  exit 1
fi
mv "$work/check" "$work/installed"
trap 'rm -rf "$work/installed" "$work/out" "$work"/times.*' EXIT

declare -A commands=(
  [tallyx]='"$OURS" "$ZIP" "$DEST"'
  [unzip]='unzip -oq "$ZIP" -d "$DEST"'
  [bsdtar]='bsdtar -xf "$ZIP" -C "$DEST"'
  [bsdtar+sync]='bsdtar -xf "$ZIP" -C "$DEST" && sync'
)
order=(tallyx unzip bsdtar bsdtar+sync)
export OURS=$ours ZIP=$zip DEST=$work/out
bytes=$(unzip -Zt "$zip" | awk '{print $3}')
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# The tools take turns within each round, so that the machine's drift over the run (disk
# write-back, other work) weighs on all of them alike.
printf '%-7s %-12s %8s %8s %8s %9s %8s\n' case tool wall_s cpu_s sys_s rss_MB MB/s
for case in fresh update; do
  for tool in "${order[@]}"; do : > "$work/times.$tool"; done
  for _ in $(seq "$runs"); do
    for tool in "${order[@]}"; do
      rm -rf "$DEST"
      if [ $case = update ]; then cp -a "$work/installed" "$DEST"; else mkdir -p "$DEST"; fi
      sync
      /usr/bin/time -f '%e %U %S %M' -a -o "$work/times.$tool" bash -c "${commands[$tool]}" >/dev/null
    done
  done
  for tool in "${order[@]}"; do
    times=$work/times.$tool
    wall=$(awk '{print $1}' "$times" | median)
    cpu=$(awk '{print $2 + $3}' "$times" | median)
    sys=$(awk '{print $3}' "$times" | median)
    rss=$(awk '{print $4 / 1024}' "$times" | median)
    printf '%-7s %-12s %8.2f %8.2f %8.2f %9.1f %8.0f\n' $case "$tool" "$wall" "$cpu" "$sys" "$rss" \
      "$(awk -v b="$bytes" -v w="$wall" 'BEGIN {print b / 1e6 / w}')"
  done
done
