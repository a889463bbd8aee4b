#!/usr/bin/env bash
# Regenerates vectors/changes with tallyx-publish:
#   tests/signing/make_changes_vector.sh build/native/tools/publish/tallyx-publish
# A release of many files with its index, for installations from changed entries: the
# program, notes, forty libraries of random bytes and a nested tallyx.zip. It is signed by
# a key of its own, kept beside it (test-key.pem), so that the benchmarks can publish
# releases the test builds trust; only test builds trust it (the fourth line of keys.txt).
# bent.index is the release's index with one entry's offset moved by a byte, signed by
# the same key: an index that verifies but does not fit the archive.
set -euo pipefail
publish=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
out=$here/vectors/changes
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out" "$work/release/docs" "$work/release/lib" "$work/inner/plugins"
printf 'MZ stand-in for the Tallyx executable\n' > "$work/release/tallyx.exe"
printf 'caf\xc3\xa9 cr\xc3\xa8me\n' > "$work/release/docs/notes.txt"
for i in $(seq -w 0 39); do head -c 24000 /dev/urandom > "$work/release/lib/part$i.dll"; done
printf 'rapport mensuel\r\n' > "$work/inner/plugins/rapport.txt"
(cd "$work/inner" && zip -q -X -r "$work/release/tallyx.zip" plugins)
printf 'Nouveaut\xc3\xa9s\n------\n- corrections\n' > "$work/history.txt"
"$publish" keygen "$out/test-key.pem" > "$work/public.txt" 2>/dev/null
"$publish" release --key "$out/test-key.pem" --version 4.2.7.1530 --date 05/03/2021 \
  --history "$work/history.txt" --url-base http://127.0.0.1:18431/dl \
  --out "$out" "$work/release" > /dev/null

# The fourth key of keys.txt is this one.
head -n 3 "$here/vectors/keys.txt" > "$work/keys.txt"
cat "$work/public.txt" >> "$work/keys.txt"
mv "$work/keys.txt" "$here/vectors/keys.txt"

index=$out/Tallyx_4.2.7.1530.zip.index
python3 - "$index" "$out/bent.index" <<'PY'
import sys
lines = open(sys.argv[1], "rb").read().split(b"\n")
for n, line in enumerate(lines):
    if line.endswith(b" lib/part07.dll"):
        fields = line.split(b" ")
        fields[1] = str(int(fields[1]) + 1).encode()
        lines[n] = b" ".join(fields)
open(sys.argv[2], "wb").write(b"\n".join(lines))
PY
printf 'TallyxUpdater release index\n4.2.7.1530\n%s' \
  "$(sha256sum "$out/bent.index" | cut -d' ' -f1)" > "$work/bent.message"
openssl dgst -sha256 -sign "$out/test-key.pem" -out "$work/bent.der" "$work/bent.message"
# DER (SEQUENCE of two INTEGERs) to the .sig file's base64 of r || s, 32 bytes each.
python3 - "$work/bent.der" > "$out/bent.index.sig" <<'PY'
import base64, sys
der = open(sys.argv[1], "rb").read()
def integer(at):
    assert der[at] == 2
    size = der[at + 1]
    return der[at + 2:at + 2 + size], at + 2 + size
at = 2 if der[1] < 0x80 else 3
r, at = integer(at)
s, _ = integer(at)
raw = b"".join(int.from_bytes(v, "big").to_bytes(32, "big") for v in (r, s))
sys.stdout.write(base64.b64encode(raw).decode() + "\r\n")
PY
