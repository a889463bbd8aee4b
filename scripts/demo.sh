#!/usr/bin/env bash
# The demo: builds the updater in its demo flavour (manifest on https://localhost),
# serves a release with nginx on loopback as the serving guide configures it
# (tools/publish/nginx-release.conf.in), with a certificate from a demo authority that
# only the demo's Wine prefix trusts, runs TallyxUpdater.exe under Wine in a demo
# installation folder (on this display if there is one, else on a virtual one), installs
# the release and saves screenshots; then publishes the next release, which changes a few
# files, and updates to it from the changed entries alone (range requests), printing what
# nginx sent for it. Both releases are signed with tallyx-publish under the test release
# key (tests/signing/vectors/changes/test-key.pem), which the demo's build trusts and
# nothing but test and demo builds do. Stops everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh

# The product is 32-bit; where this kernel cannot run 32-bit programs, the demo runs the
# same sources built for x86_64. The demo builds in a folder of its own, never the
# product's.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  preset=win32-demo; export WINE_LOADER=wine
else
  preset=win64-demo; export WINE_LOADER=/usr/lib/wine/wine64
fi
# The web server's https port: the test port of the build (TALLYX_DEMO_PORT chooses
# another); plain http, moved to https, on the next one. The demo flavour fetches its
# manifest over https from localhost on that port.
# The demo's build checks signatures: it trusts the test release key (the fourth line of
# keys.txt), with which the demo publishes.
demo_key=$root/tests/signing/vectors/changes/test-key.pem
cmake --preset $preset ${TALLYX_DEMO_PORT:+-DTALLYX_TEST_PORT=$TALLYX_DEMO_PORT} \
  "-DTALLYX_RELEASE_KEYS=$(sed -n 4p tests/signing/vectors/keys.txt)" >/dev/null
cached() { sed -n "s/^$1:[A-Z]*=//p" "build/$preset/CMakeCache.txt"; }
port=$(cached TALLYX_TEST_PORT)
manifest_url=$(cached TALLYX_PRODUCT_MANIFEST_URL)
cmake --build --preset $preset --target TallyxUpdater tallyx_e2e_driver tallyx_stub_old \
  tallyx_stub_new tallyx_stub_next tallyx_stub_plain
# The vendor's publishing tool, built for this machine.
cmake --preset native >/dev/null
cmake --build --preset native --target tallyx-publish
bin=$root/build/$preset
demo=$root/build/demo
mkdir -p "$demo"

source scripts/wine-prefix.sh
pids=()
cleanup() {
  wine_stop
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  # A display number that no other X server holds: Xvfb picks a free one and writes it
  # once it is ready (a fixed number could be another run's or another user's).
  rm -f "$demo/display"
  Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp >"$demo/display" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$demo/display" ] && break; sleep 0.1; done
  [ -s "$demo/display" ] || { echo "demo: the virtual display did not start" >&2; exit 1; }
  export DISPLAY=:$(head -1 "$demo/display")
  openbox >/dev/null 2>&1 & pids+=($!)
  echo "no display: running on a virtual one ($DISPLAY)"
fi

# The guide's configuration filled in for loopback, with the demo authority and its
# certificate for localhost (kept from one run to the next).
python3 tests/e2e/nginx_site.py tools/publish/nginx-release.conf.in "$demo" "$port" 600k \
  >/dev/null
nginx -c "$demo/nginx.conf" -p "$demo" -g 'daemon off;' & pids+=($!)

echo "preparing a Wine prefix…"
# The same Wine start-up as the test script's, in either branch.
wine_start "$demo/wineprefix"
# The demo authority joins this prefix's trusted roots, as an administrator would add a
# company authority on a workstation; the machine's own store is not touched.
"$WINE_LOADER" "$bin/tests/e2e/tallyx_e2e_driver.exe" trust-root "$demo/tls/authority.pem" \
  </dev/null >/dev/null

python3 tests/e2e/demo.py --product "$bin/app/TallyxUpdater.exe" \
  --driver "$bin/tests/e2e/tallyx_e2e_driver.exe" \
  --stub-old "$bin/tests/e2e/tallyx_stub_old.exe" --stub-new "$bin/tests/e2e/tallyx_stub_new.exe" \
  --stub-next "$bin/tests/e2e/tallyx_stub_next.exe" \
  --stub-plain "$bin/tests/e2e/tallyx_stub_plain.exe" \
  --publish "$root/build/native/tools/publish/tallyx-publish" --key "$demo_key" \
  --port "$port" --manifest-url "$manifest_url" --www "$demo/www" \
  --releases "$demo/releases" --access-log "$demo/logs/access.log" --folder "$demo/Tallyx" \
  --shots "$demo/screenshots"
echo "web server log: $demo/logs/access.log"
