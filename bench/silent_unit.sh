#!/usr/bin/env bash
# A silent unit and a silent sensor node in real time: the tool flashes through the fake
# PCAN-Basic library (receive event on) and through the fake without the receive event (polling),
# with nothing on the bus that answers, and must spend the whole budget of DL_START_LOADING each
# time: 201 windows of 12 tries of 5 ms, 12.06 s (for the node, 201 wake frames and their windows).
# Usage: bench/silent_unit.sh [BUILD_DIR]   (takes about 50 seconds)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build-release-tests}")"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRALVEX_TESTS=ON >/dev/null
cmake --build "$build" --target ralvex-service-tool fake_pcan_basic fake_pcan_basic_no_event \
  >/dev/null
fakes="$build/tests/fakes"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$root/examples/demo-app.hex" app.hex
mkdir -p no-event
ln -s "$fakes/libpcanbasic_no_event.so" no-event/libpcanbasic.so

TIMEFORMAT='%R %U %S'
# run NAME LIBRARY_DIR ARGS...: one silent flash and its line of the report.
run() {
  local status=0 name="$1" dir="$2"
  shift 2
  { time LD_LIBRARY_PATH="$dir" "$build/ralvex-service-tool" "$@" 0 > console.txt; } \
    2> times.txt || status=$?
  read -r wall user sys < times.txt
  awk -v name="$name" -v wall="$wall" -v user="$user" -v sys="$sys" -v status="$status" 'BEGIN {
    printf "%s: exit status %d, wall %.2f s against the budget 12.06 s, CPU %.2f%%\n",
           name, status, wall, 100 * (user + sys) / wall;
  }'

  grep -q "No answer DL_START_LOADING" console.txt || { echo "$name: an answer came?"; exit 1; }
}
printf ':020000022000DC\n:03000000010203F7\n:00000001FF\n' > sensor.hex
run "unit, receive event" "$fakes" -f app.hex
run "unit, polling" "$work/no-event" -f app.hex
run "node 5, receive event" "$fakes" -f sensor.hex -g 5
run "node 5, polling" "$work/no-event" -f sensor.hex -g 5
