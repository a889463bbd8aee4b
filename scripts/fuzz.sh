#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the archive reader's libFuzzer target (fuzz preset: clang,
# ASan+UBSan) and runs it for SECONDS (default 60). The seed corpus is made of archives
# of the kinds the tests extract: Info-ZIP zip (deflated, stored, streamed with data
# descriptors, with a comment), 7-Zip, bsdtar, python3 zipfile (UTF-8 flags, Unicode
# path field, code page 437 names). Findings are written to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target zip_fuzzer

run=$PWD/build/fuzz/run
seeds=$run/seeds
mkdir -p "$seeds" "$run/corpus" build/fuzz/findings
if [ -z "$(ls -A "$seeds")" ]; then
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
  mkdir -p "$tree/src/docs" "$tree/src/bin"
  printf 'release notes\n%.0s' $(seq 200) > "$tree/src/readme.txt"
  head -c 3000 /dev/urandom > "$tree/src/bin/app.dll"
  printf 'accent' > "$tree/src/docs/café.txt"
  : > "$tree/src/docs/empty.txt"
  (
    cd "$tree/src"
    export LC_ALL=C.UTF-8
    zip -r -q "$seeds/infozip.zip" .
    zip -r -q -0 "$seeds/stored.zip" .
    zip -r -q - . > "$seeds/streamed.zip"
    zip -r -q -z "$seeds/comment.zip" . <<< "archive comment"
    7z a -tzip -bd -bso0 -bsp0 "$seeds/7z.zip" . 
    bsdtar -a -cf "$seeds/bsdtar.zip" .
    python3 - "$seeds" <<'PY'
import sys, zipfile, zlib
out = sys.argv[1]
with zipfile.ZipFile(out + '/python.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('dir/', '')
    z.writestr('dir/caf\u00e9.txt', 'flagged name')
    z.writestr(zipfile.ZipInfo('\u00fcber.txt'), 'plain')
raw = 'raw-name.txt'.encode()
field = b'\x75\x70' + (5 + 8).to_bytes(2, 'little') + b'\x01' + \
        zlib.crc32(raw).to_bytes(4, 'little') + 'na\u00efve.txt'.encode()
info = zipfile.ZipInfo('raw-name.txt')
info.extra = field
with zipfile.ZipFile(out + '/unicode-path.zip', 'w') as z:
    z.writestr(info, 'named by the Unicode path field')
with open(out + '/empty.zip', 'wb') as f:
    f.write(b'PK\x05\x06' + bytes(18))
PY
  )
fi

# Extractions land in memory where it is available: they are made durable before they
# take their places, and a disk would then set the pace.
[ -z "${TMPDIR:-}" ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
status=0
build/fuzz/tools/fuzz/zip_fuzzer -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
  -artifact_prefix="$PWD/build/fuzz/findings/" "$run/corpus" "$seeds" || status=$?
rm -rf "${TMPDIR:-/tmp}"/tallyx-fuzz-*
exit $status
