#!/usr/bin/env bash
# bench-update-bytes.sh: what an update from changed entries costs the server, on the
# ~300 MB, 3,003-file release corpus. The corpus (with the old stand-in tallyx.exe) is the
# installed version 1; version 2 changes 5 % of its files (the program, LIBS of the large
# libraries of bin/, the largest binary files and some data files, by altering bytes or
# appending) and adds 1 %. Version 2 is published with tallyx-publish (archive, index,
# manifest and signatures, under the key that the test builds trust) and served by nginx
# on 127.0.0.1:18431 with the archive directives of tools/publish/nginx-release.conf.in.
# The keyed test product then brings a copy of version 1 to version 2 under Wine, driven
# through its window like the end-to-end runs, twice:
#   ranges  with the index published: only the changed entries are fetched;
#   whole   with the index taken away: the whole archive is downloaded, as before.
# After each, the folder must be exactly version 2. Prints, per case, the bytes nginx sent
# for the archive (its access log), the archive requests and the seconds from the install
# click to the success box; then what an installation from changed entries needs (the
# changed entries' bytes in the archive, its central directory and the index, from the
# index) and the ratios sent/needed (goal <= 1.15) and sent/archive (goal <= 10 %).
# Env: BENCH_TOOLS  folder holding make_corpus.sh (../shared/bench)
#      BENCH_WORK   scratch folder for the corpus (build/bench; shared with
#                   bench-extract.sh) and for the versions and the site (its update-bytes/)
#      RUNS         installations per case (1)
#      LIBS         how many of the three 60 MiB files of bin/ version 2 changes too (0);
#                   a changed entry is fetched whole, so one of them alone is 14 % of the
#                   archive
#      WINE_PREFIX  the Wine prefix (build/wineprefix-bench-update); the Wine part and the
#                   server hold /tmp/tallyx-wine.lock, so that they never overlap other
#                   Wine runs nor another user of the port
#      BENCH_DISPLAY  the virtual X display of the Wine part (96)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tools=${BENCH_TOOLS:-$root/../shared/bench}
work=${BENCH_WORK:-$root/build/bench}
runs=${RUNS:-1}
libs=${LIBS:-0}
display=:${BENCH_DISPLAY:-96}
port=18431  # the address that the keyed test product's manifest names
version=4.2.7.1530
archive_name=Tallyx_$version.zip
key=$root/tests/signing/vectors/changes/test-key.pem

# The Windows build of the product: i686 through Wine, or x86_64 where the kernel runs no
# 32-bit programs (as the tests pick).
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  preset=win32-test; export WINE_LOADER=wine
else
  preset=win64-test; export WINE_LOADER=/usr/lib/wine/wine64
fi
cmake --preset native >/dev/null
cmake --build --preset native --target tallyx-publish >/dev/null
publish=$root/build/native/tools/publish/tallyx-publish
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target TallyxUpdaterKeyed tallyx_e2e_driver tallyx_stub_old \
  tallyx_stub_new >/dev/null
bin=$root/build/$preset
product=$bin/tests/e2e/TallyxUpdaterKeyed.exe
driver=$bin/tests/e2e/tallyx_e2e_driver.exe
stub_old=$bin/tests/e2e/tallyx_stub_old.exe
stub_new=$bin/tests/e2e/tallyx_stub_new.exe

mkdir -p "$work"
[ -f "$work/release.zip" ] || bash "$tools/make_corpus.sh" "$work"
upd=$work/update-bytes
mkdir -p "$upd"

# Version 1 and version 2 as trees of links into the corpus, the changed files of version 2
# written afresh; the published site made from version 2. Both are kept from one run to
# the next while the corpus, the stubs and the choices stay the same.
params="libs=$libs $(sha256sum "$stub_old" "$stub_new" "$key" | cut -d' ' -f1 | tr '\n' ' ')"
params+=$(stat -c %Y "$work/release.zip")
if [ "$(cat "$upd/params" 2>/dev/null)" != "$params" ]; then
  rm -rf "$upd/v1" "$upd/v2" "$upd/site" "$upd/params"
  cp -al "$work/release" "$upd/v1"
  cp "$stub_old" "$upd/v1/tallyx.exe"
  cp -al "$work/release" "$upd/v2"
  python3 - "$upd/v2" "$stub_new" "$libs" <<'PY'
import math, os, random, sys
root, stub_new, libs = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(2)
files = sorted(os.path.relpath(os.path.join(top, n), root)
               for top, _, names in os.walk(root) for n in names)
files.append("tallyx.exe")  # the installed program counts among the files
changes = round(len(files) * 0.05)
added = round(len(files) * 0.01)

def rewrite(name, data):
    path = os.path.join(root, name)
    if os.path.exists(path):
        os.unlink(path)  # a link into the corpus: the corpus itself stays as it is
    os.makedirs(os.path.dirname(path) or root, exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

def alter(name, how):
    with open(os.path.join(root, name), "rb") as f:
        data = bytearray(f.read())
    if how == "append":
        data += rng.randbytes(rng.randint(100, 8000))
    else:  # a few runs of bytes changed in place, the size kept
        for _ in range(4):
            at = rng.randrange(max(1, len(data) - 64))
            data[at:at + 64] = rng.randbytes(len(data[at:at + 64]))
    rewrite(name, bytes(data))

kinds = {}
rewrite("tallyx.exe", open(stub_new, "rb").read())
kinds["the program"] = 1
libraries = sorted((n for n in files if n.startswith("bin/") and n.endswith(".dll")),
                   reverse=True)[:libs]  # core2.dll first: the most compressible
for name in libraries:
    alter(name, "bytes")
kinds["large libraries"] = len(libraries)
others = [n for n in files if n.startswith("files/")]
binary = sorted((n for n in others if n.rsplit(".", 1)[-1] in ("dat", "bin", "res", "pak", "png")),
                key=lambda n: -os.path.getsize(os.path.join(root, n)))[:20]
for n, name in enumerate(binary):
    alter(name, "append" if n % 2 else "bytes")
kinds["largest binary files"] = len(binary)
rest = sorted(set(others) - set(binary))
data_files = rng.sample(rest, changes - 1 - len(libraries) - len(binary))
for n, name in enumerate(data_files):
    alter(name, "append" if n % 2 else "bytes")
kinds["data files"] = len(data_files)
folders = sorted({os.path.dirname(n) for n in others})
for i in range(added):
    size = int(math.exp(rng.uniform(math.log(200), math.log(300_000))))
    folder = "files/nouveau" if i % 5 == 0 else rng.choice(folders)
    rewrite(f"{folder}/n{i:03d}.dat", rng.randbytes(size // 2) + bytes(size - size // 2))
kinds["added"] = added
print("version 2: " + ", ".join(f"{v} {k}" for k, v in kinds.items())
      + f" (of {len(files)} files)")
PY
  printf 'Nouveaut\xc3\xa9s\n------\n- mise \xc3\xa0 jour de mesure\n' > "$upd/history.txt"
  mkdir -p "$upd/site/www"
  "$publish" release --key "$key" --version $version --date 05/03/2021 \
    --history "$upd/history.txt" --url-base http://127.0.0.1:$port/dl \
    --out "$upd/site/www/dl" "$upd/v2"
  echo "$params" > "$upd/params"
fi
dl=$upd/site/www/dl

# nginx on the keyed product's port, with the serving guide's archive directives, plain
# http (the keyed test product fetches http://127.0.0.1:18431/dl/tallyx.ver).
site=$upd/site
mkdir -p "$site/logs" "$site/tmp" "$site/hidden"
cat > "$site/nginx.conf" <<CONF
worker_processes 1;
pid $site/nginx.pid;
error_log $site/logs/error.log;
events { worker_connections 64; }
http {
  log_format bench '\$uri \$status \$body_bytes_sent \$request_time "\$http_range"';
  access_log $site/logs/access.log bench;
  client_body_temp_path $site/tmp; proxy_temp_path $site/tmp; fastcgi_temp_path $site/tmp;
  uwsgi_temp_path $site/tmp; scgi_temp_path $site/tmp;
  types { application/zip zip; text/plain ver; }
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $site/www;
    location ~ ^/dl/tallyx\.ver(\.sig)?\$ {
      add_header Cache-Control "no-cache" always;
    }
    location ~ ^/dl/Tallyx_[0-9.]+\.zip(\.index)?(\.sig)?\$ {
      add_header Cache-Control "public, max-age=31536000, immutable";
      gzip off;
      etag on;
      max_ranges 64;
    }
    location / { return 404; }
  }
}
CONF
# The index back in place (the whole case takes it away).
restore_index() {
  local f
  for f in "$archive_name.index" "$archive_name.index.sig"; do
    [ ! -f "$site/hidden/$f" ] || mv "$site/hidden/$f" "$dl/$f"
  done
}
restore_index  # an earlier run may have stopped without it

# What an installation from changed entries needs, from the index: the entries that
# differ from version 1 (size, then SHA-256, as the updater compares), the central
# directory and the index itself.
read -r needed changed_entries archive_size largest < <(python3 - "$dl/$archive_name.index" "$upd/v1" <<'PY'
import hashlib, os, sys
index, v1 = sys.argv[1], sys.argv[2]
lines = open(index, "rb").read().decode("utf-8").split("\n")
_, size, central, _ = lines[1].split(" ")
needed, changed, largest = int(size) - int(central) + os.path.getsize(index), 0, (0, "")
for line in lines[2:]:
    if not line:
        continue
    fields = line.split(" ", 7)
    length, inflated, sha, name = int(fields[2]), int(fields[4]), fields[6], fields[7]
    if name.endswith("/"):
        continue
    path = os.path.join(v1, name)
    if (os.path.isfile(path) and os.path.getsize(path) == inflated
            and hashlib.sha256(open(path, "rb").read()).hexdigest() == sha):
        continue
    needed += length
    changed += 1
    largest = max(largest, (length, name))
print(needed, changed, size, f"{largest[1].replace(' ', '_')}:{largest[0]}_bytes")
PY
)

[ -n "${needed:-}" ] || { echo "bench-update-bytes: cannot read the index" >&2; exit 1; }

# One case: a fresh copy of version 1 brought to version 2 by the product, RUNS times;
# appends "case requests sent seconds answers" per run to $results.
run_case() {
  local case=$1 folder=$upd/Tallyx run first seconds keep
  for run in $(seq "$runs"); do
    rm -rf "$folder"
    cp -a "$upd/v1" "$folder"
    sync
    first=$(($(wc -l < "$log") + 1))
    seconds=$(python3 tests/e2e/run_e2e.py bench-update --product-keyed "$product" \
      --driver "$driver" --stub-old "$stub_old" --stub-new "$stub_new" --port "$port" \
      --folder "$folder" | sed -n 's/^seconds=//p')
    [ -n "$seconds" ] || { echo "bench-update-bytes: the $case installation failed" >&2; return 1; }
    # The folder must be exactly version 2; the whole download keeps its archive there.
    keep=()
    [ "$case" = ranges ] || keep=(-x "$archive_name")
    if ! diff -r --no-dereference "${keep[@]}" "$upd/v2" "$folder" >&2; then
      echo "bench-update-bytes: the folder is not version 2 after the $case case" >&2
      return 1
    fi
    sleep 0.5  # nginx writes a request's line once its answer is out
    tail -n +"$first" "$log" | awk -v uri="/dl/$archive_name" -v c="$case" -v s="$seconds" '
      $1 == uri { n++; sent += $3; codes[$2]++ }
      $1 == uri ".index" || $1 == uri ".index.sig" { idx += $3 }
      END { line = ""; for (k in codes) line = line codes[k] "x" k " ";
            print c, n + 0, sent + 0, idx + 0, s, line }' >> "$results"
  done
}

# Everything that uses the port or Wine runs under the lock: the port is the end-to-end
# runs' own. A virtual display with a light window manager, as the tests use, so that
# the boxes open and close at once.
wine_part() {
  set -euo pipefail
  source scripts/wine-prefix.sh
  # Global, not local: the trap runs after this function has returned.
  pids=()
  trap 'wine_stop; kill "${pids[@]}" 2>/dev/null || true; restore_index' EXIT
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
  sleep 1
  DISPLAY=$display openbox >/dev/null 2>&1 & pids+=($!)
  export DISPLAY=$display
  nginx -c "$site/nginx.conf" -p "$site" -g 'daemon off;' & pids+=($!)
  wine_start "$WINEPREFIX"
  run_case ranges
  # The whole download: the index and its signature taken off the server.
  mv "$dl/$archive_name.index" "$dl/$archive_name.index.sig" "$site/hidden/"
  run_case whole
}
log=$site/logs/access.log
: > "$log"
results=$upd/results
: > "$results"
export WINEPREFIX=${WINE_PREFIX:-$root/build/wineprefix-bench-update}
export root upd site dl log results runs display port archive_name product driver stub_old \
  stub_new WINE_LOADER
flock /tmp/tallyx-wine.lock bash -c "$(declare -f wine_part run_case restore_index); wine_part"
rm -rf "$upd/Tallyx"

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "== update of the ${archive_size}-byte archive of version 2 over version 1 ($runs run(s) a case)"
printf '%-7s %9s %14s %12s %9s  %s\n' case requests archive_bytes index_bytes click_s answers
while read -r case n sent index seconds codes; do
  printf '%-7s %9s %14s %12s %9s  %s\n' "$case" "$n" "$sent" "$index" "$seconds" "$codes"
done < "$results"
echo "(archive_bytes: what nginx sent for the archive, multipart framing included;"
echo " index_bytes: for the index and its signature)"
sent=$(awk '$1 == "ranges" {print $3 + $4}' "$results" | median)
echo "changed entries: $changed_entries, the largest $largest; needed (their bytes + central" \
  "directory + index): $needed bytes"
awk -v s="$sent" -v n="$needed" -v a="$archive_size" 'BEGIN {
  printf "ranges: sent (archive + index) / needed %.3f (goal <= 1.15), sent / archive %.2f %% (goal <= 10 %%)\n",
    s / n, 100 * s / a }'
