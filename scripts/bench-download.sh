#!/usr/bin/env bash
# Download throughput under Wine: a 200 MB archive served by nginx on loopback, read by a
# plain WinINet loop (64 KiB reads) and downloaded by the updater's own code with its
# progress shown on a real window. Prints both rates for two rounds.
#   bash scripts/bench-download.sh [PRESET]   (win32-test by default, win64-test where
#                                               the kernel runs no 32-bit programs)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  preset=${1:-win32-test}; export WINE_LOADER=wine
else
  preset=${1:-win64-test}; export WINE_LOADER=/usr/lib/wine/wine64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target bench_download
bench=$root/build/$preset/tests/platform/bench_download.exe

site=$root/build/bench-download
mkdir -p "$site/www" "$site/logs" "$site/tmp"
[ -s "$site/www/archive.zip" ] ||
  head -c 200000000 /dev/urandom > "$site/www/archive.zip"
port=18451
cat > "$site/nginx.conf" <<CONF
worker_processes 1;
error_log $site/logs/error.log;
pid $site/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $site/tmp; proxy_temp_path $site/tmp; fastcgi_temp_path $site/tmp;
  uwsgi_temp_path $site/tmp; scgi_temp_path $site/tmp;
  sendfile on;
  server { listen 127.0.0.1:$port; root $site/www; }
}
CONF
nginx -c "$site/nginx.conf" -p "$site" -g 'daemon off;' & nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null || true; wine_stop' EXIT
sleep 1

source scripts/wine-prefix.sh
wine_start "$root/build/wineprefix-bench"
"$WINE_LOADER" "$bench" "http://127.0.0.1:$port/archive.zip" 'C:\bench-archive.zip'
