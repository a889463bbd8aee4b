#!/usr/bin/env bash
# The one Wine start-up of the test script and the demo, whichever Wine runs the tests.
#   source scripts/wine-prefix.sh, then:
#     wine_start DIR   a fresh, prompt-free prefix in DIR, its server and services started
#     wine_stop        ends that prefix's server and everything running in it
#   bash scripts/wine-prefix.sh DIR   the same start, for a prefix used by hand
# The loader is $WINE_LOADER (wine by default); set DISPLAY first when windows will open.

wine_start() {
  local prefix=${1:?usage: wine_start DIR}
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINE_LOADER=${WINE_LOADER:-wine} no_proxy=127.0.0.1,localhost
  # WinINet's preconfigured access honours these: loopback must not go through a proxy.
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
  # A server still running for an earlier prefix of this name would outlive its files.
  [ ! -d "$prefix" ] || wineserver -k 2>/dev/null || true
  rm -rf "$prefix"; mkdir -p "$prefix"
  "$WINE_LOADER" wineboot -u >/dev/null 2>&1
  # A second drive letter for drive C's folder: one folder under two spellings, as a
  # mapped drive, subst or a UNC path give on a workstation.
  ln -sfn "$(readlink -f "$prefix/dosdevices/c:")" "$prefix/dosdevices/q:"
  # Debian's Wine does not find its own fonts otherwise (no Marlett: menu arrows draw as
  # digits).
  mkdir -p "$prefix/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  cat > "$prefix/setup.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Calibri"="Carlito"

REG
  "$WINE_LOADER" regedit /S "$prefix/setup.reg" >/dev/null 2>&1
  wineserver -w
  # The first program started brings up the server and Wine's services, which keep the
  # output pipes they inherit open for as long as they run: start them here with their
  # output sent away, or whoever reads a later program's output (ctest, the end-to-end
  # runner's driver calls) waits on them.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
  # Only the prefix wine_start made: never the user's own.
  [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  wine_start "${1:?usage: wine-prefix.sh DIR}"
fi
