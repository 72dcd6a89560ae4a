#!/bin/bash
# Runs inside the vcan VM (see run.sh): a station with four interfaces (vcan1 to vcan4), an
# emulated unit on each, and the tool run side by side from one folder:
# - examples/station.sh flashes all four units at once, each run with its own log and report;
#   every emulated flash must hold the image, every log must be its run's alone;
# - a second run on an interface that a first run holds is refused naming the first's process
#   id, before it sends anything, and the first run is unharmed;
# - a second run in the same folder without --log is refused naming the first's process id, and
#   the first run's log stays whole.
# Inputs from run.sh in this folder: app.hex, expected-app-flash.bin, parameters.bin and
# station-script.sh (examples/station.sh).
set -uo pipefail
cd "$(dirname "$0")"
out=/tmp/station
. ./vm_common.sh

sims=()
for n in 1 2 3 4; do
  ip link add dev "vcan$n" type vcan 2>/dev/null
  ip link set "vcan$n" up || fail "vcan$n could not be brought up"
  "$here/ralvex-sim-unit" "vcan$n" --parameters-in "$here/parameters.bin" \
    --flash-out "$out/flash$n.bin" >"$out/sim$n.txt" 2>&1 &
  sims+=($!)
done
sleep 0.5

echo "== four units side by side (examples/station.sh)"
mkdir -p "$out/runs"
(cd "$out/runs" && RALVEX_TOOL="$here/ralvex-service-tool" bash "$here/station-script.sh" \
   -f "$here/app.hex" -- vcan1 U-1 vcan2 U-2 vcan3 U-3 vcan4 U-4 >"$out/table.txt" 2>&1)
status=$?
cat "$out/table.txt"
[ "$status" -eq 0 ] || fail "station.sh exited $status"
hex_lines="$(wc -l <"$here/app.hex")"
for n in 1 2 3 4; do
  grep -q "^vcan$n  *U-$n  *pass" "$out/table.txt" || fail "no pass line for vcan$n"
  log="$out/runs/run-vcan$n.log"
  # A whole log: its banner once, and every line of the HEX file read once (logging level 1).
  [ "$(grep -c 'ZR4_BL_Log' "$log")" -eq 1 ] || fail "run-vcan$n.log: not one banner"
  [ "$(grep -c '^:' "$log")" -eq "$hex_lines" ] ||
    fail "run-vcan$n.log: $(grep -c '^:' "$log") HEX lines, expected $hex_lines"
  grep -q '"serial": "U-'"$n"'"' "$out/runs/run-vcan$n.json" || fail "run-vcan$n.json: no tag"
done
[ ! -e "$out/runs/ZR4_BL_Log.txt" ] || fail "a run wrote ZR4_BL_Log.txt"

# wait_for FILE TEXT: up to 20 s for FILE to hold TEXT.
wait_for() {
  for _ in $(seq 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

echo "== a second run on a held interface"
mkdir -p "$out/held"
cd "$out/held"
"$here/ralvex-service-tool" -i vcan1 --log first.log -r first.bin >first.txt 2>&1 &
first=$!
wait_for first.txt 'Using SocketCAN' || fail "the first run did not open vcan1"
"$here/ralvex-service-tool" -i vcan1 --log second.log -r second.bin >second.txt 2>&1
status=$?
# A backup whose channel cannot be opened exits -1.
[ "$status" -eq 255 ] || fail "the second run on vcan1 exited $status, expected 255"
grep -q "^Cannot open vcan1: in use by process $first (another run of this tool)" second.txt ||
  fail "the second run did not name process $first: $(grep 'Cannot open' second.txt)"
[ ! -e second.bin ] || fail "the second run wrote a backup"
wait "$first"
status=$?
[ "$status" -eq 0 ] || fail "the first run exited $status"
cmp -s first.bin "$here/parameters.bin" || fail "the first run's backup differs from the unit's"
echo "  second run refused naming process $first; the first run's backup is whole"

echo "== a second run on the same log"
mkdir -p "$out/log"
cd "$out/log"
"$here/ralvex-service-tool" -i vcan2 -r first.bin 4 >first.txt 2>&1 &
first=$!
wait_for first.txt 'Using SocketCAN' || fail "the first run did not start"
"$here/ralvex-service-tool" -i vcan3 -r second.bin >second.txt 2>&1
status=$?
[ "$status" -eq 255 ] || fail "the second run on the same log exited $status, expected 255"
grep -q "^Log file ZR4_BL_Log.txt is being written by process $first (another run of this tool)" \
  second.txt || fail "the second run did not name process $first"
wait "$first"
status=$?
[ "$status" -eq 0 ] || fail "the first run exited $status"
cmp -s first.bin "$here/parameters.bin" || fail "the first run's backup differs from the unit's"
# Whole: one banner, and every page's command of the first run's backup (logging level 4).
[ "$(grep -c 'ZR4_BL_Log' ZR4_BL_Log.txt)" -eq 1 ] || fail "the first run's log is not whole"
[ "$(grep -c '^COMMAND_ID_START_PAGE_BACKUP$' ZR4_BL_Log.txt)" -eq 208 ] ||
  fail "the first run's log lacks pages"
echo "  second run refused naming process $first; the first run's log is whole"

cd "$here"
for pid in "${sims[@]}"; do kill -TERM "$pid"; done
wait "${sims[@]}"
for n in 1 2 3 4; do
  cmp -s "$out/flash$n.bin" "$here/expected-app-flash.bin" || fail "unit on vcan$n: flash differs"
done
finish station
