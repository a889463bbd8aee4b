#!/usr/bin/env bash
# Regenerates the signed test releases under vectors/ with tallyx-publish:
#   tests/signing/make_vectors.sh build/native/tools/publish/tallyx-publish
# Three keys: "old" signs 4.2.7.1529, "new" (the rotated key) signs 4.2.7.1530, and
# "other", which no build trusts, signs another 4.2.7.1530. The private keys are thrown
# away; keys.txt keeps the public ones in that order.
set -euo pipefail
publish=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$here/vectors"
mkdir -p "$here/vectors" "$work/release/docs"
printf 'MZ stand-in for the Tallyx executable\n' > "$work/release/tallyx.exe"
printf 'caf\xc3\xa9 cr\xc3\xa8me\n' > "$work/release/docs/notes.txt"
printf 'Nouveaut\xc3\xa9s\n------\n- corrections\n' > "$work/history.txt"
: > "$here/vectors/keys.txt"
release() {  # key version folder
  "$publish" keygen "$work/$1.pem" >> "$here/vectors/keys.txt" 2>/dev/null
  "$publish" release --key "$work/$1.pem" --version "$2" --date 05/03/2021 \
    --history "$work/history.txt" --url-base http://127.0.0.1:18431/dl \
    --out "$here/vectors/$3" "$work/release" > /dev/null
  printf '%s\n' "$2" >> "$work/release/docs/notes.txt"
}
release old 4.2.7.1529 old
release new 4.2.7.1530 new
release other 4.2.7.1530 other
