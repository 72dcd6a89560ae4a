#!/bin/bash
# Runs inside the VM started with VCANVM_KVASER=1 (see run.sh): the tool through Kvaser's own CANlib
# (linuxcan 5.39, libcanlib.so.1) and driver (kvpcican) on CANlib channel 0, an emulated PCIcan-S
# HS with serial number 10001; ralvex-sim-unit on can1, a SocketCAN board on the same emulated bus.
# Channels 1 and 2 are Kvaser's virtual bus. In turn: -l; a flash with the default walk; a sensor
# flash (-g); a backup by the device's serial number; a restore with --verify; a virtual channel
# by number; a second run refused while a first flashes (by the lock, and with a lock folder of its
# own by the library); bus-off met on a send (kvaser_busoff.so); and last the board removed during
# a 3 s erase, which must be named as a lost adapter within 1.1 s.
# Inputs from run.sh in this folder as for end_to_end.sh (app.hex, sensor.hex, parameters.bin,
# restore.bin, expected-app-flash.bin, expected-node-flash.bin) and kvaser_busoff.so.
set -u
cd "$(dirname "$0")"
out=/tmp/kvaser
. ./vm_common.sh
kit="$here/kvaser-linuxcan"
export RALVEX_LOCK_DIR="$out/locks"
mkdir -p "$RALVEX_LOCK_DIR"


# tool NAME STATUS TEXT ARGS...: the tool in $out/NAME; exit status STATUS as the shell sees it and
# the console line TEXT expected. The console is shown when either is not as expected.
tool() {
  local name="$1" expected="$2" text="$3"
  shift 3
  local dir="$out/$name" start status
  mkdir -p "$dir"
  start="$EPOCHREALTIME"
  (cd "$dir" && exec "$here/ralvex-service-tool" "$@" >console.txt 2>&1)
  status=$?
  echo "  $name: ralvex-service-tool $* -> exit $status in" \
    "$(echo "$start $EPOCHREALTIME" | awk '{printf "%.2f", $2 - $1}') s"
  check "$name" "$status" "$expected" "$text"
}
check() {
  local name="$1" status="$2" expected="$3" text="$4" dir="$out/$1"
  local ok=1
  [ "$status" -eq "$expected" ] || { fail "$name: exit status $status, expected $expected"; ok=0; }
  grep -qF -- "$text" "$dir/console.txt" || { fail "$name: no line '$text'"; ok=0; }
  if [ "$ok" -eq 0 ]; then
    echo "---- console of $name"; cat "$dir/console.txt"
    echo "---- end of ZR4_BL_Log.txt of $name"; tail -n 20 "$dir/ZR4_BL_Log.txt"
  fi
  [ "$ok" -eq 1 ]
}
same() {
  if cmp -s "$2" "$3"; then
    echo "  $1: as expected ($(wc -c <"$2") bytes)"
  else
    fail "$1 differs: $(cmp "$2" "$3" 2>&1 | head -n 1)"
  fi
}
absent() {
  ! grep -qF -- "$2" "$out/$1/console.txt" || fail "$1: the console says '$2'"
}
# started NAME ARGS...: the tool in $out/NAME in the background (its process id in $started_pid),
# back once it has opened its channel.
started() {
  local name="$1"
  shift
  mkdir -p "$out/$name"
  (cd "$out/$name" && exec "$here/ralvex-service-tool" "$@" >console.txt 2>&1) &
  started_pid=$!
  for _ in $(seq 1 100); do
    grep -q "Using Kvaser" "$out/$name/console.txt" 2>/dev/null && break
    sleep 0.05
  done
}

# The listing: the product's version (CANlib 5.39; libcanlib itself is 8.39), the PCIcan channel
# with its identity, the virtual ones.
tool list 0 "CANlib: " -l
cat "$out/list/console.txt"
grep -qF ", version 5.39" "$out/list/console.txt" || fail "list: not version 5.39"
# Whole lines: the virtual channels are offered by number alone.
for line in \
  "  kvaser:0     Kvaser PCIcan-S HS, EAN 73-30130-00082-7, serial number 10001, real (also -i kvaser@10001)" \
  "  kvaser:1     Kvaser Virtual CAN, no EAN, serial number 1, virtual" \
  "  kvaser:2     Kvaser Virtual CAN, no EAN, serial number 1, virtual"; do
  grep -qxF -- "$line" "$out/list/console.txt" || fail "list: no line '$line'"
done

# The default walk: PCAN-Basic is absent, CANlib's first real channel is channel 0.
start_sim walk can1 --flash-out "$out/walk.flash.bin"
tool walk 0 "Flashing completed" -f "$here/app.hex" --report report.json 4
stop_sim
grep -qx "Using Kvaser USBcan interface" "$out/walk/console.txt" || fail "walk: not the Kvaser line"
grep -q '"library_version": *"5.39"' "$out/walk/report.json" ||
  fail "walk: the report's library_version is not 5.39: $(grep -o '"library_version":[^,]*' "$out/walk/report.json")"
same "walk: the unit's flash" "$out/walk.flash.bin" "$here/expected-app-flash.bin"

start_sim sensor can1 --node-out "5:$out/sensor.flash.bin"
tool sensor 0 "Flashing completed" -f "$here/sensor.hex" -g 5 4
stop_sim
same "sensor: node 5's flash" "$out/sensor.flash.bin" "$here/expected-node-flash.bin"

# A virtual channel by number opens (nothing is on Kvaser's virtual bus to answer: its 12 s of
# waiting pass beside the backup, which is on channel 0).
tool virtual 252 "No answer DL_START_LOADING" -i kvaser:1 -f "$here/app.hex" &
virtual=$!
start_sim backup can1 --parameters-in "$here/parameters.bin"
tool backup 0 "Using Kvaser USBcan interface 'kvaser@10001'" -i kvaser@10001 -r backup.bin \
  --report report.json
stop_sim
same "backup: the file" "$out/backup/backup.bin" "$here/parameters.bin"
tr -d '\n ' <"$out/backup/report.json" | grep -o '"phases_s":{[^}]*}'

wait "$virtual" || fail "virtual: see above"
grep -qx "Using Kvaser USBcan interface 'kvaser:1'" "$out/virtual/console.txt" ||
  fail "virtual: kvaser:1 was not opened"
absent virtual "Specified device not found"

start_sim verify can1 --parameters-out "$out/verify.parameters.bin"
tool verify 0 "Restore verified: 53248 bytes match" -i kvaser:0 -w "$here/restore.bin" --verify \
  --report report.json
stop_sim
same "verify: the unit's parameters" "$out/verify.parameters.bin" "$here/restore.bin"
tr -d '\n ' <"$out/verify/report.json" | grep -o '"phases_s":{[^}]*}'

# A second run while a first flashes (its unit erasing for 2 s): refused by the lock, and with a
# lock folder of its own by CANlib, the channel being open exclusively. The first is not disturbed.
start_sim first can1 --erase-ms 2000 --flash-out "$out/first.flash.bin"
started first -f "$here/app.hex"
first=$started_pid
tool second 252 "Cannot open kvaser@10001: in use by process $first (another run of this tool)" \
  -i kvaser@10001 -f "$here/app.hex"
mkdir -p "$out/own-locks"
RALVEX_LOCK_DIR="$out/own-locks" tool second-own-locks 252 \
  "Cannot open kvaser:0: canOpenChannel: No channels available: the channel is in use by another program" \
  -i kvaser:0 -f "$here/app.hex"
wait "$first"
check first $? 0 "Flashing completed"
stop_sim
same "first: the unit's flash" "$out/first.flash.bin" "$here/expected-app-flash.bin"

# Bus-off met on a send, in the middle of the first page: named at once, no 100 ms of retries.
start_sim busoff can1
LD_PRELOAD="$here/kvaser_busoff.so" KV_BUSOFF_AFTER=20 \
  tool busoff 253 "CAN bus state: bus-off (the adapter stopped sending" -f "$here/app.hex"
stop_sim
grep -q "kvaser_busoff: canBusOff(0) before send 20 -> 0" "$out/busoff/console.txt" ||
  fail "busoff: the channel was not taken off bus"
absent busoff "transmit queue still full"

# Last (the board stays gone): removed from the PCI bus while the unit erases for 3 s.
start_sim unplug can1 --erase-ms 3000
started unplug -f "$here/app.hex"
pid=$started_pid
sleep 1
removed="$EPOCHREALTIME"
sh "$kit/vm-setup.sh" unplug
wait "$pid"
status=$?
ended="$EPOCHREALTIME"
stop_sim
after="$(echo "$removed $ended" | awk '{printf "%.2f", $2 - $1}')"
echo "  unplug: exit $status ${after} s after the removal"
check unplug "$status" 251 "CAN adapter lost: Kvaser channel (canReadWait: A hardware error was detected)"
awk -v s="$after" 'BEGIN { exit !(s <= 1.1) }' || fail "unplug: ended ${after} s after the removal"
absent unplug "No answer"

finish "== kvaser"
