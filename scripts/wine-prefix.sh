#!/usr/bin/env bash
# wine-prefix.sh DIR: prepares a fresh, prompt-free Wine prefix in DIR for a test run.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh DIR}
rm -rf "$prefix"; mkdir -p "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
"${WINE_LOADER:-wine}" wineboot -u >/dev/null 2>&1
# Debian's Wine does not find its own fonts otherwise (no Marlett: menu arrows draw as
# digits).
mkdir -p "$prefix/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
cat > "$prefix/setup.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Calibri"="Carlito"

REG
"${WINE_LOADER:-wine}" regedit /S "$prefix/setup.reg" >/dev/null 2>&1
wineserver -w
