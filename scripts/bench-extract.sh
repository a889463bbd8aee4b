#!/usr/bin/env bash
# bench-extract.sh: extraction speed and memory of tallyx-unzip against unzip -oq and
# bsdtar -xf on the ~300 MB release corpus, in one run.
# Env: BENCH_TOOLS  folder holding make_corpus.sh and extract_bench.sh (../shared/bench)
#      BENCH_WORK   scratch folder for the corpus and the extractions (build/bench)
#      RUNS         runs per tool, median reported (3)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tools=${BENCH_TOOLS:-$root/../shared/bench}
work=${BENCH_WORK:-$root/build/bench}

cmake --preset release >/dev/null
cmake --build --preset release --target tallyx-unzip
ours=$root/build/release/tools/unzip/tallyx-unzip

mkdir -p "$work"
[ -f "$work/release.zip" ] || bash "$tools/make_corpus.sh" "$work"

# Our output must match the corpus. Info-ZIP zip stores the few non-ASCII names without
# the UTF-8 flag, so those read as code page 437 and are left out of the comparison.
rm -rf "$work/check"
"$ours" "$work/release.zip" "$work/check"
if diff -rq "$work/release" "$work/check/release" | LC_ALL=C grep -v $'[\x80-\xff]'; then
  echo "bench-extract: tallyx-unzip output differs from the corpus" >&2
  exit 1
fi
rm -rf "$work/check"

RUNS=${RUNS:-3} bash "$tools/extract_bench.sh" "$work/release.zip" \
  "tallyx=\"$ours\" \"\$ZIP\" \"\$DEST\"" unzip bsdtar
