#!/usr/bin/env bash
# Checks the Windows zip as a technician meets it: it unpacks into one folder holding the .exe,
# its manual page as text, README.md, NOTICE.txt, examples/demo-app.hex and examples/station.cmd,
# and no DLL; under wine the unpacked .exe prints its usage with exit status -2 (254), flashes the
# example on the emulated bus (-i sim), flashes it through the fake PCANBasic.dll (with the
# emulated unit behind it), and station.cmd flashes three units side by side
# copied beside it.
# Usage: tests/package/zip_check.sh ralvex-service-tool-<version>-win64.zip WIN_BUILD_DIR
#   WIN_BUILD_DIR: a mingw-w64 build with the tests (tests/windows/fakes/PCANBasic.dll); its wine
#   prefix (WIN_BUILD_DIR/wineprefix) is shared with tests/windows/smoke.sh.
set -euo pipefail
zip="$(realpath "${1:?usage: zip_check.sh PACKAGE.zip WIN_BUILD_DIR}")"
build="$(cd "${2:?usage: zip_check.sh PACKAGE.zip WIN_BUILD_DIR}" && pwd)"
fake="$build/tests/windows/fakes/PCANBasic.dll"
[ -f "$fake" ] || { echo "no $fake: configure $build with -DRALVEX_TESTS=ON" >&2; exit 2; }
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work="$build/zip-check"
rm -rf "$work"
mkdir -p "$work"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

echo "== $(basename "$zip")"
(cd "$work" && cmake -E tar xf "$zip")
top="$(basename "$zip" .zip)"
expected="$top/NOTICE.txt $top/README.md $top/examples/demo-app.hex $top/examples/station.cmd \
$top/ralvex-service-tool.exe $top/ralvex-service-tool.txt"
found="$(cd "$work" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')"
[ "$found" = "$expected " ] || fail "the zip holds '$found', expected '$expected'"
echo "  $found"
grep -q $'^EXIT STATUS\r$' "$work/$top/ralvex-service-tool.txt" ||
  fail "ralvex-service-tool.txt has no EXIT STATUS heading with CR LF"

# run NAME STATUS ARGS...: the unpacked .exe in its folder; console in NAME.txt.
run() {
  local name="$1" expected="$2"
  shift 2
  local status
  set +e
  (cd "$work/$top" && wine ralvex-service-tool.exe "$@" >"$work/$name.txt" 2>"$work/$name-wine.txt")
  status=$?
  set -e
  echo "  $name: ralvex-service-tool.exe $* -> exit $status"
  [ "$status" -eq "$expected" ] || fail "$name: exit status $status, expected $expected"
}

start="$(date +%s)"
run usage 254
echo "  (wine prefix ready, first run done in $(($(date +%s) - start)) s)"
tr -d '\r' <"$work/usage.txt" | grep -q '^===  Ralvex Service Tool .*  ===$' || fail "usage: no banner"
tr -d '\r' <"$work/usage.txt" | grep -q '^Usage: ralvex-service-tool.exe -f ' || fail "usage: no usage"

run sim 0 -i sim -f examples/demo-app.hex
tr -d '\r' <"$work/sim.txt" | grep -qx 'Flashing completed' || fail "sim: no 'Flashing completed'"

cp "$fake" "$work/$top/"
RALVEX_FAKE_PCAN=bus=1 run flash 0 -f examples/demo-app.hex 4
tr -d '\r' <"$work/flash.txt" | grep -qx 'Using PEAK PCAN-USB interface' || fail "flash: not through PEAK"
tr -d '\r' <"$work/flash.txt" | grep -qx 'Flashing completed' || fail "flash: no 'Flashing completed'"
[ -s "$work/$top/ZR4_BL_Log.txt" ] || fail "flash: no ZR4_BL_Log.txt beside the .exe"

# The station script: two PEAK channels and the emulated bus side by side from one folder, each
# with its own log and report, and a line per unit.
set +e
# A run that never writes its status would keep the script waiting: the timeout turns that into a
# failure.
(cd "$work/$top" && RALVEX_FAKE_PCAN=bus=1,occupied=0 timeout 300 wine cmd /c 'examples\station.cmd' \
   -f 'examples\demo-app.hex' -- pcan:1 A-1 pcan:2 A-2 sim A-3 >"$work/station.txt" 2>&1)
status=$?
set -e
echo "  station: station.cmd pcan:1 pcan:2 sim -> exit $status"
[ "$status" -eq 0 ] || fail "station: exit status $status"
for unit in "pcan:1 A-1 run-pcan-1" "pcan:2 A-2 run-pcan-2" "sim A-3 run-sim"; do
  read -r interface serial name <<<"$unit"
  tr -d '\r' <"$work/station.txt" | grep -qE "^$interface +$serial +pass" ||
    fail "station: no pass line for $interface"
  grep -q 'Flashing completed' "$work/$top/$name.txt" || fail "station: $name did not complete"
  [ -s "$work/$top/$name.log" ] || fail "station: no $name.log"
  tr -d '\r' <"$work/$top/$name.json" | grep -q "\"serial\": \"$serial\"" ||
    fail "station: $name.json has no serial tag"
done

wineserver -k 2>/dev/null || true
if [ "$failures" -ne 0 ]; then
  for f in "$work"/*.txt; do echo "---- $f"; tr -d '\r' <"$f" | tail -n 15; done
  echo "== Windows zip check: $failures failures"
  exit 1
fi
echo "== Windows zip check: all passed"
