#!/usr/bin/env bash
# The demo: builds the updater in its demo flavour (manifest on 127.0.0.1), serves a
# release with nginx on loopback, runs TallyxUpdater.exe under Wine in a demo
# installation folder (on this display if there is one, else on a virtual one), installs
# the release and saves screenshots. Stops everything it started.
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
# The web server's port: the test port of the build (TALLYX_DEMO_PORT chooses another).
cmake --preset $preset ${TALLYX_DEMO_PORT:+-DTALLYX_TEST_PORT=$TALLYX_DEMO_PORT} >/dev/null
port=$(sed -n 's/^TALLYX_TEST_PORT:STRING=//p' "build/$preset/CMakeCache.txt")
cmake --build --preset $preset --target TallyxUpdater tallyx_e2e_driver tallyx_stub_old \
  tallyx_stub_new tallyx_stub_plain
bin=$root/build/$preset
demo=$root/build/demo
mkdir -p "$demo/logs"

source scripts/wine-prefix.sh
pids=()
cleanup() {
  wine_stop
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  export DISPLAY=:97
  Xvfb :97 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
  sleep 1
  openbox >/dev/null 2>&1 & pids+=($!)
  echo "no display: running on a virtual one ($DISPLAY)"
fi

cat > "$demo/nginx.conf" <<CONF
worker_processes 1;
pid $demo/nginx.pid;
error_log $demo/logs/error.log;
events { worker_connections 64; }
http {
  access_log $demo/logs/access.log;
  client_body_temp_path $demo/logs; proxy_temp_path $demo/logs;
  fastcgi_temp_path $demo/logs; uwsgi_temp_path $demo/logs; scgi_temp_path $demo/logs;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $demo/www;
    location ~ \.zip\$ { limit_rate 600k; }
  }
}
CONF
mkdir -p "$demo/www"
nginx -c "$demo/nginx.conf" -p "$demo" -g 'daemon off;' & pids+=($!)

echo "preparing a Wine prefix…"
# The same Wine start-up as the test script's, in either branch.
wine_start "$demo/wineprefix"

python3 tests/e2e/demo.py --product "$bin/app/TallyxUpdater.exe" \
  --driver "$bin/tests/e2e/tallyx_e2e_driver.exe" \
  --stub-old "$bin/tests/e2e/tallyx_stub_old.exe" --stub-new "$bin/tests/e2e/tallyx_stub_new.exe" \
  --stub-plain "$bin/tests/e2e/tallyx_stub_plain.exe" \
  --port "$port" --www "$demo/www" --folder "$demo/Tallyx" --shots "$demo/screenshots"
echo "web server log: $demo/logs/access.log"
