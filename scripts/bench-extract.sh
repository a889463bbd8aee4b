#!/usr/bin/env bash
# bench-extract.sh: extraction speed and memory on the ~300 MB, 3,003-file release corpus,
# in one run, each figure the median of RUNS runs, in two cases:
#   fresh   into an empty folder;
#   update  over an installed tree of the same names, which is what every installation
#           does.
# Three tables:
#   1. tallyx-unzip (its pool, and pinned to one worker) against unzip -oq, bsdtar -xf
#      (which flushes nothing) and bsdtar followed by `sync` (tallyx-unzip makes the files
#      durable before it puts them in place), with peak memory;
#   2. the Windows build of tallyx-unzip.exe under Wine, one worker against the pool
#      (needs the win32-test build, or win64-test on a kernel without 32-bit programs;
#      skipped without it or without Wine);
#   3. a modelled Windows disk: the native build through a file system that adds
#      FLUSH_MS to each flush and CLOSE_MS to each close of a written file (NTFS with an
#      on-access scanner), one worker against the pool.
# Env: BENCH_TOOLS  folder holding make_corpus.sh (../shared/bench)
#      BENCH_WORK   scratch folder for the corpus and the extractions (build/bench)
#      RUNS         runs per tool and case, median reported (5)
#      FLUSH_MS, CLOSE_MS   the modelled disk's costs (4, 5)
#      TABLES       which tables to print (native modelled wine)
#      WINE_PREFIX  the Wine prefix of table 2 (build/wineprefix-bench); the Wine runs
#                   hold /tmp/tallyx-wine.lock, so that they never overlap other Wine runs
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tools=${BENCH_TOOLS:-$root/../shared/bench}
work=${BENCH_WORK:-$root/build/bench}
runs=${RUNS:-5}
flush_ms=${FLUSH_MS:-4}
close_ms=${CLOSE_MS:-5}
tables=" ${TABLES:-native modelled wine} "

cmake --preset release >/dev/null
cmake --build --preset release --target tallyx-unzip -j2 >/dev/null
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
rm -rf "$work/installed"
mv "$work/check" "$work/installed"
trap 'rm -rf "$work/installed" "$work/out" "$work"/times.*' EXIT

export OURS=$ours ZIP=$zip DEST=$work/out
bytes=$(unzip -Zt "$zip" | awk '{print $3}')
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# bench TITLE TOOL=COMMAND...: the tools take turns within each round, so that the
# machine's drift over the run (disk write-back, other work) weighs on all of them alike.
bench() {
  local title=$1; shift
  local -a order=() commands=()
  for entry in "$@"; do order+=("${entry%%=*}"); commands+=("${entry#*=}"); done
  echo "== $title (median of $runs)"
  printf '%-7s %-16s %8s %8s %8s %9s %8s\n' case tool wall_s cpu_s sys_s rss_MB MB/s
  for case in fresh update; do
    for tool in "${order[@]}"; do : > "$work/times.$tool"; done
    for _ in $(seq "$runs"); do
      for i in "${!order[@]}"; do
        rm -rf "$DEST"
        if [ $case = update ]; then cp -a "$work/installed" "$DEST"; else mkdir -p "$DEST"; fi
        sync
        /usr/bin/time -f '%e %U %S %M' -a -o "$work/times.${order[$i]}" \
          bash -c "${commands[$i]}" >/dev/null
      done
    done
    for tool in "${order[@]}"; do
      times=$work/times.$tool
      wall=$(awk '{print $1}' "$times" | median)
      cpu=$(awk '{print $2 + $3}' "$times" | median)
      sys=$(awk '{print $3}' "$times" | median)
      rss=$(awk '{print $4 / 1024}' "$times" | median)
      printf '%-7s %-16s %8.2f %8.2f %8.2f %9.1f %8.0f\n' $case "$tool" "$wall" "$cpu" "$sys" \
        "$rss" "$(awk -v b="$bytes" -v w="$wall" 'BEGIN {print b / 1e6 / w}')"
    done
  done
}

[[ $tables != *" native "* ]] || bench "native: tallyx-unzip against other extractors" \
  'tallyx="$OURS" "$ZIP" "$DEST"' \
  'tallyx-1worker="$OURS" --workers 1 "$ZIP" "$DEST"' \
  'unzip=unzip -oq "$ZIP" -d "$DEST"' \
  'bsdtar=bsdtar -xf "$ZIP" -C "$DEST"' \
  'bsdtar+sync=bsdtar -xf "$ZIP" -C "$DEST" && sync'

export FLUSH_MS=$flush_ms CLOSE_MS=$close_ms
[[ $tables != *" modelled "* ]] || bench "modelled Windows disk: +${flush_ms} ms a flush, +${close_ms} ms a close" \
  'pool="$OURS" --model-disk $FLUSH_MS,$CLOSE_MS "$ZIP" "$DEST"' \
  '1worker="$OURS" --workers 1 --model-disk $FLUSH_MS,$CLOSE_MS "$ZIP" "$DEST"'

# The Windows build under Wine, in a prefix of its own, never beside another Wine run:
# the i686 build, or the x86_64 one where the kernel runs no 32-bit programs (as the
# tests do).
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  exe=$root/build/win32-test/tools/unzip/tallyx-unzip.exe; export WINE_LOADER=wine
else
  exe=$root/build/win64-test/tools/unzip/tallyx-unzip.exe; export WINE_LOADER=/usr/lib/wine/wine64
fi
if [[ $tables != *" wine "* ]]; then
  :
elif [ -f "$exe" ] && command -v "$WINE_LOADER" >/dev/null; then
  export WINE_EXE=$exe WINEPREFIX=${WINE_PREFIX:-$root/build/wineprefix-bench}
  export ZIPW="Z:${ZIP//\//\\}" DESTW="Z:${DEST//\//\\}"
  flock /tmp/tallyx-wine.lock bash -c '
    set -euo pipefail
    source scripts/wine-prefix.sh
    wine_start "$WINEPREFIX"
    trap wine_stop EXIT
    '"$(declare -f median bench)"'
    work='"$work"' runs='"$runs"' bytes='"$bytes"'
    bench "Windows build under Wine" \
      "pool=\"\$WINE_LOADER\" \"\$WINE_EXE\" \"\$ZIPW\" \"\$DESTW\"" \
      "1worker=\"\$WINE_LOADER\" \"\$WINE_EXE\" --workers 1 \"\$ZIPW\" \"\$DESTW\""
  '
else
  echo "== Windows build under Wine: skipped (no $exe or no wine)"
fi
