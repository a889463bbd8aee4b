#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native (sanitized) flavour, the
# product and the Windows test flavour (i686, through Wine), and runs the suites. Exits
# non-zero when anything fails; the last line counts every test and check.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

status=0
passed=0; failed=0
count() {  # count LOG: add ctest's own tally to the totals
  local line total fails
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -1)
  [ -n "$line" ] || return 0
  fails=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - fails)); failed=$((failed + fails))
}

echo "== native build"
if cmake --preset native >/dev/null && cmake --build --preset native; then
  echo "== native tests"
  ctest --preset native 2>&1 | tee build/native-ctest.log
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count build/native-ctest.log
else
  echo "native build failed"; status=1
fi

# A short bounded run of the archive reader's fuzz target (longer runs: scripts/fuzz.sh N).
echo "== fuzzing the archive reader (${TALLYX_FUZZ_SECONDS:-60} s)"
if bash scripts/fuzz.sh "${TALLYX_FUZZ_SECONDS:-60}" > build/fuzz.log 2>&1; then
  passed=$((passed + 1)); grep -E '^Done [0-9]+ runs' build/fuzz.log || true
else
  failed=$((failed + 1)); status=1; tail -30 build/fuzz.log
fi

# The product is 32-bit and is built apart from the tests, in build/win32 with the
# vendor's manifest address; both branches check its imports and its address. The tests
# build the same sources in a test flavour (manifest on loopback) of their own: as i686
# executables through Wine where the kernel runs 32-bit programs (Wine's 32-bit loader is
# one), as x86_64 executables through 64-bit Wine where it does not.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  test_preset=win32-test; wine_loader=wine
else
  test_preset=win64-test; wine_loader=/usr/lib/wine/wine64
  echo "note: this kernel does not run 32-bit programs; Windows tests run as x86_64"
fi

source scripts/wine-prefix.sh
windows_tests() {  # windows_tests PRESET: run one Windows flavour's tests
  # Window tests need a display: a virtual one with a light window manager, so that
  # modal boxes open and close at once and each window is an X window of its own.
  local display=:${TALLYX_TEST_DISPLAY:-99} xpids=()
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpids+=($!)
  sleep 1
  DISPLAY=$display openbox >/dev/null 2>&1 & xpids+=($!)
  export DISPLAY=$display WINE_LOADER=$wine_loader
  # The same Wine start-up as the demo's, in either branch.
  wine_start "$root/build/wineprefix-$1"
  ctest --preset "$1" 2>&1 | tee "build/$1-ctest.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count "build/$1-ctest.log"
  wine_stop
  kill "${xpids[@]}" 2>/dev/null || true
}

check() {  # check WHAT COMMAND...: one counted check
  if "${@:2}"; then
    passed=$((passed + 1))
  else
    echo "check failed: $1"; failed=$((failed + 1)); status=1
  fi
}

# The product refuses to be configured without release keys; it is built here with the
# test key (the fourth of tests/signing/vectors/keys.txt), as a vendor builds it with theirs.
echo "== win32 build (i686, the product)"
refuses_unkeyed() {
  ! cmake --preset win32 -B build/win32-unkeyed -DTALLYX_RELEASE_KEYS= >build/win32-unkeyed.log 2>&1 &&
    grep -q "tallyx-publish keygen" build/win32-unkeyed.log
}
mkdir -p build
check "the product refuses to configure without release keys" refuses_unkeyed
if cmake --preset win32 "-DTALLYX_RELEASE_KEYS=$(sed -n 4p tests/signing/vectors/keys.txt)" >/dev/null &&
   cmake --build --preset win32; then
  product=build/win32/app/TallyxUpdater.exe
  check "imports of the product (KnownDLLs only)" cmake -DOBJDUMP=i686-w64-mingw32-objdump \
    -DEXE="$product" -DKNOWN_DLLS_ONLY=ON -P cmake/CheckImports.cmake
  check "manifest address of the product" cmake -DEXE="$product" -P cmake/CheckProduct.cmake
else
  echo "win32 build failed"; status=1
fi

# The publisher reads the version of programs as the resource compiler makes them: the
# test flavour's stand-ins for tallyx.exe, of 4.2.7.1530 and of 4.2.7.1500.
publisher_reads_programs() {
  local work=build/publish-programs publish=build/native/tools/publish/tallyx-publish
  local stubs=build/$test_preset/tests/e2e
  rm -rf "$work"; mkdir -p "$work/release"
  echo "Nouveautés" > "$work/history.txt"
  "$publish" keygen "$work/key.pem" >/dev/null || return 1
  release() {  # release OUT: publish the release folder as 4.2.7.1530 into OUT
    "$publish" release --key "$work/key.pem" --version 4.2.7.1530 --date 05/03/2021 \
      --history "$work/history.txt" --url-base http://h/dl --out "$1" "$work/release"
  }
  cp "$stubs/tallyx_stub_new.exe" "$work/release/tallyx.exe"
  release "$work/out" >/dev/null || return 1
  cp "$stubs/tallyx_stub_old.exe" "$work/release/tallyx.exe"
  ! release "$work/refused" >/dev/null 2>"$work/refused.log" &&
    grep -q "reports version 4.2.7.1500, not 4.2.7.1530" "$work/refused.log"
}

echo "== $test_preset build (the test flavour)"
if cmake --preset $test_preset >/dev/null && cmake --build --preset $test_preset; then
  check "the publisher reads the version of a compiled program" publisher_reads_programs
  echo "== $test_preset tests (Wine)"; windows_tests $test_preset
else
  echo "$test_preset build failed"; status=1
fi

echo "tests: $passed passed, $failed failed"
exit $status
