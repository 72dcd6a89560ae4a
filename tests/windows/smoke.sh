#!/usr/bin/env bash
# Smoke test of the Windows build under wine: the exports of the fake vendor DLLs and the imports
# of the .exe, the banner and usage with exit status -2 and the 1 ms timer resolution it requests,
# application flashing through the fake PCANBasic.dll with the emulated unit behind it, the Kvaser
# fallback through the fake canlib32.dll when PCANBasic.dll is absent (application and sensor
# flashing), the listing (-l), a named channel (-i pcan:2) free and occupied, an unplugged adapter,
# a full transmit buffer, a bus-off controller, Ctrl-C during a flash, a second run on a channel
# or a log (its name not ASCII) that a first run holds, a directory, a hard link and symbolic links
# under a lock's name, no lock file left after the runs, and no adapter at all; and
# where DLLs come from: a DLL planted in the current folder or in a folder on PATH is never loaded,
# one beside the .exe or in the system folder is, and lib_path_check.exe names it by its full path;
# --progress none and --events, with the console as before when redirected.
# Usage: tests/windows/smoke.sh BUILD_DIR
#   BUILD_DIR: cmake -S . -B BUILD_DIR -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Wine's prefix lives in BUILD_DIR/wineprefix; only the first run creates it (20-60 s).
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: smoke.sh BUILD_DIR}" && pwd)"
exe="$build/ralvex-service-tool.exe"
fakes="$build/tests/windows/fakes"
planted="$build/tests/windows/planted.dll"
objdump=x86_64-w64-mingw32-objdump
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
# No Mono or Gecko installers when the prefix is made: the tool needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
work="$build/smoke"
rm -rf "$work"
mkdir -p "$work"
failures=0
# The lock folder as an earlier build may have left it in the prefix: the runs below leave it so.
locks="$WINEPREFIX/drive_c/ProgramData/ralvex-service-tool"
locks_before="$(ls -A "$locks" 2>/dev/null || true)"

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# contains FILE TEXT: FILE, read with CR LF as LF, holds TEXT ("\n" and other printf escapes
# allowed, so that a text may span lines).
contains() {
  local haystack needle
  haystack="$(tr -d '\r' <"$1" 2>/dev/null; echo .)"
  needle="$(printf '%b' "$2"; echo .)"
  [[ "$haystack" == *"${needle%.}"* ]]
}

# expect_text NAME FILE TEXT
expect_text() {
  contains "$2" "$3" || fail "$1: no '$3' in $(basename "$2")"
}

# The Windows path of a folder of this machine as wine shows it (Z:\...), its backslashes doubled
# for expect_text.
winpath() {
  local path="Z:${1//\//\\}"
  printf '%s' "${path//\\/\\\\}"
}

exports_of() {
  "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/ s/^\t\[ *[0-9]*\] //p'
}

echo "== exports and imports"
for dll_names in "PCANBasic.dll CAN_Initialize CAN_Uninitialize CAN_Reset CAN_GetStatus CAN_Read \
CAN_Write CAN_FilterMessages CAN_GetValue CAN_SetValue CAN_GetErrorText" \
  "canlib32.dll canInitializeLibrary canClose canOpenChannel canGetErrorText canSetBusParams \
canGetNumberOfChannels canGetChannelData canSetAcceptanceFilter canBusOn canRead canWrite"; do
  read -r dll names <<<"$dll_names"
  exports="$(exports_of "$fakes/$dll")"
  for name in $names; do
    grep -qx "$name" <<<"$exports" || fail "$dll does not export '$name' under its plain name"
  done
  if grep -q '@' <<<"$exports"; then fail "$dll exports decorated names"; fi
  echo "  $dll: $(wc -l <<<"$exports") plain exports"
done
imports="$("$objdump" -p "$exe")"
for name in LoadLibraryExW SetDefaultDllDirectories GetProcAddress Sleep timeBeginPeriod \
  timeEndPeriod; do
  grep -qE "[[:space:]]$name\$" <<<"$imports" || fail "ralvex-service-tool.exe does not import $name"
done
# LoadLibraryA takes the standard search order, current folder and PATH included.
if grep -qE "[[:space:]]LoadLibraryA\$" <<<"$imports"; then
  fail "ralvex-service-tool.exe imports LoadLibraryA"
fi
# Self-contained: no C++ runtime, libgcc or winpthread DLL to ship beside it.
dlls="$(sed -n 's/^\tDLL Name: //p' <<<"$imports" | tr '\n' ' ')"
echo "  ralvex-service-tool.exe imports: $dlls"
if grep -qiE 'libstdc|libgcc|winpthread' <<<"$dlls"; then
  fail "ralvex-service-tool.exe needs MinGW DLLs"
fi

# run NAME STATUS DLLS ARGS...: the .exe with the listed fake DLLs beside it, in a folder of its
# own; its exit status must be STATUS. Console (CR LF as written) in NAME/console.txt.
run() {
  local name="$1" expected="$2" dlls="$3"
  shift 3
  local dir="$work/$name"
  mkdir -p "$dir"
  cp "$exe" "$repo/examples/demo-app.hex" "$dir/"
  printf ':020000022000DC\n:03000000010203F7\n:00000001FF\n' >"$dir/sensor.hex"
  for dll in $dlls; do cp "$fakes/$dll" "$dir/"; done
  local start status
  start="$(date +%s%N)"
  set +e
  (cd "$dir" && wine ralvex-service-tool.exe "$@" >console.txt 2>wine-stderr.txt)
  status=$?
  set -e
  local ms=$((($(date +%s%N) - start) / 1000000))
  echo "  $name: ralvex-service-tool.exe $* [${dlls:-no DLLs}] -> exit $status in $ms ms"
  [ "$status" -eq "$expected" ] || fail "$name: exit status $status, expected $expected"
}

echo "== under $(wine --version 2>/dev/null) (WINEPREFIX $WINEPREFIX)"
start="$(date +%s)"
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
  /d 'timeBeginPeriod;timeEndPeriod' /f >/dev/null 2>&1
echo "  wine prefix ready in $(($(date +%s) - start)) s"

# Banner and usage; wine's relay trace shows the timer resolution requested for the run.
WINEDEBUG=-all,+relay run usage 254 ""
expect_text usage "$work/usage/console.txt" "\n\n===  Ralvex Service Tool 0.7.0  ===\n\n"
expect_text usage "$work/usage/console.txt" \
  "Usage: ralvex-service-tool.exe -f <FileName.hex> [-i Can_Interface] [Logging_Level]\n"
expect_text usage "$work/usage/wine-stderr.txt" "Call winmm.timeBeginPeriod(00000001)"
expect_text usage "$work/usage/wine-stderr.txt" "Call winmm.timeEndPeriod(00000001)"

# Application flashing through PCANBasic.dll, whose emulated unit checks every page's checksum.
RALVEX_FAKE_PCAN=bus=1 RALVEX_FAKE_PCAN_CALLS=pcan.txt run peak 0 PCANBasic.dll -f demo-app.hex 4
expect_text peak "$work/peak/console.txt" "Using PEAK PCAN-USB interface\nErase flash\n"
expect_text peak "$work/peak/console.txt" "66.7%\nEnd of download\nFlashing completed\n\n"
expect_text peak "$work/peak/ZR4_BL_Log.txt" \
  "PEAK: PCANBasic.dll Load OK\nPEAK: CAN Init OK\nPEAK: CAN Filter OK\n"
expect_text peak "$work/peak/pcan.txt" \
  "CAN_Initialize(0x51, 0x011C, 5, 0, 0)\nCAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x23)\n"
pages="$(grep -c '^CAN_Write(0x51, 0xA84401, 0x02, 8, ' "$work/peak/pcan.txt" || true)"
[ "$pages" -eq $((3 * 37)) ] || fail "peak: $pages data frames written, expected 3 pages of 37"

# The progress and the events under Windows: redirected into a file, the console keeps its
# percent lines; --progress none takes them away and leaves every other line; --events writes the
# run's events (LF line ends) without changing the console, also for a run that fails.
RALVEX_FAKE_PCAN=bus=1 run progress-none 0 PCANBasic.dll --progress none -f demo-app.hex 4
grep -vE '^[0-9]{1,3}\.[0-9]%'$'\r''?$' "$work/peak/console.txt" >"$work/peak/no-percent.txt" || true
cmp -s "$work/progress-none/console.txt" "$work/peak/no-percent.txt" ||
  fail "progress-none: the console is not the redirected one without its percent lines"
RALVEX_FAKE_PCAN=bus=1 run events 0 PCANBasic.dll -f demo-app.hex --events ev.jsonl 4
cmp -s "$work/events/console.txt" "$work/peak/console.txt" ||
  fail "events: the console differs from the one without --events"
events="$work/events/ev.jsonl"
head -n 1 "$events" | grep -q '^{"event":"start","time_s":0.0,' || fail "events: no start first"
tail -n 1 "$events" | grep -q '^{"event":"end",.*"result":{"exit_status":0,' ||
  fail "events: no end with exit status 0 last"
# The library's path as JSON writes it (each backslash doubled), doubled once more for expect_text.
library="$(winpath "$work/events" | sed 's/\\/\\\\/g')\\\\\\\\PCANBasic.dll"
expect_text events "$events" "\"backend\":\"PEAK PCAN-USB\",\"channel\":null,\"library\":\"$library\""
expect_text events "$events" '"pages_done":3,"pages":3,"bytes":768,'
if grep -q $'\r' "$events"; then fail "events: CR in the events file"; fi
RALVEX_FAKE_PCAN=bus=1,write_fail_from=60 run events-unplugged 253 PCANBasic.dll -f demo-app.hex \
  --events ev.jsonl
expect_text events-unplugged "$work/events-unplugged/ev.jsonl" \
  '{"event":"problem","time_s":'
expect_text events-unplugged "$work/events-unplugged/ev.jsonl" '"line":"Send data failed: -3"}\n'
tail -n 1 "$work/events-unplugged/ev.jsonl" | grep -q '^{"event":"end",.*"result":{"exit_status":-3,'\
'"shell_status":253,"success":false,"message":"CAN adapter lost: pcan:1 (CAN_Write: fake PCAN error '\
'0x1400): the adapter was unplugged or its driver stopped","failed_phase":"transfer"}}$' ||
  fail "events-unplugged: the end does not carry the failure"

# Kvaser fallback: no PCANBasic.dll; canlib32.dll carries the emulated unit and nodes.
RALVEX_FAKE_CANLIB=bus=1 RALVEX_FAKE_CANLIB_CALLS=canlib.txt \
  run kvaser 0 canlib32.dll -f demo-app.hex 4
expect_text kvaser "$work/kvaser/console.txt" "Using Kvaser USBcan interface\nErase flash\n"
expect_text kvaser "$work/kvaser/console.txt" "End of download\nFlashing completed\n\n"
expect_text kvaser "$work/kvaser/ZR4_BL_Log.txt" "PEAK: ERROR: can not load pcanbasic.dll\n\
PEAK: Cannot initialize DLL\nKvaser: canlib32.dll Load OK\nKvaser: CAN Init OK\n"
expect_text kvaser "$work/kvaser/canlib.txt" "canSetBusParams(100, -3, 0, 0, 0, 0, 0)\n\
canSetAcceptanceFilter(100, 0x1, 0x7FF, 0)\ncanSetAcceptanceFilter(100, 0xA04401, 0x1FF3FFFF, 1)\n\
canBusOn(100)\n"
pages="$(tr -d '\r' <"$work/kvaser/canlib.txt" | grep -c '^canWrite(100, 0xA84401, .*, 8, 0x4)$' || true)"
[ "$pages" -eq $((3 * 37)) ] || fail "kvaser: $pages data frames written, expected 3 pages of 37"

RALVEX_FAKE_CANLIB=bus=1 run kvaser-sensor 0 canlib32.dll -f sensor.hex -g 5
expect_text kvaser-sensor "$work/kvaser-sensor/console.txt" "Using Kvaser USBcan interface\n"
expect_text kvaser-sensor "$work/kvaser-sensor/console.txt" "100.0%\nEnd of download\nFlashing completed\n"

# The listing through both DLLs: the fakes' channels, the occupied channel's finding, nothing
# opened or sent.
RALVEX_FAKE_PCAN_CALLS=pcan.txt RALVEX_FAKE_CANLIB_CALLS=canlib.txt \
  run list 0 "PCANBasic.dll canlib32.dll" -l
expect_text list "$work/list/console.txt" "CAN interfaces:\n\
  PCAN-Basic: $(winpath "$work/list")\\\\PCANBasic.dll, API version 4.8.0.5\n\
  pcan:1       PCAN-USB, device id 0x1, available (also -i pcan@0x1)\n\
  pcan:2       PCAN-USB, device id 0x2, occupied (also -i pcan@0x2)\n\
  CANlib: $(winpath "$work/list")\\\\canlib32.dll, version 5.41\n\
  kvaser:0     Kvaser Leaf Light v2, EAN 73-30130-00685-0, serial number 10001, real (also -i \
kvaser@10001)\n\
  kvaser:1     Kvaser Leaf Light v2, EAN 73-30130-00685-0, serial number 10002, real (also -i \
kvaser@10002)\n\
  kvaser:2     Kvaser Virtual CAN Driver, no EAN, serial number 0, virtual\n"
expect_text list "$work/list/console.txt" "Problems found:\n  pcan:2 is occupied by another program\n"
if grep -qE 'CAN_Initialize|CAN_Write|canOpenChannel|canWrite' "$work/list/pcan.txt" \
   "$work/list/canlib.txt"; then
  fail "list: a channel was opened or written"
fi

# A named channel is opened alone: pcan:2 (free in this run) is handle 0x52, and CANlib is never
# asked.
RALVEX_FAKE_PCAN=bus=1,occupied=3 RALVEX_FAKE_PCAN_CALLS=pcan.txt \
  RALVEX_FAKE_CANLIB_CALLS=canlib.txt run pcan2 0 "PCANBasic.dll canlib32.dll" \
  -i pcan:2 -f demo-app.hex 4
expect_text pcan2 "$work/pcan2/console.txt" "Using PEAK PCAN-USB interface 'pcan:2'\nErase flash\n"
expect_text pcan2 "$work/pcan2/console.txt" "End of download\nFlashing completed\n"
expect_text pcan2 "$work/pcan2/pcan.txt" \
  "CAN_Initialize(0x52, 0x011C, 5, 0, 0)\nCAN_FilterMessages(0x52, 0xA44401, 0xA84401, 0x23)\n"
if grep -q '(0x51' "$work/pcan2/pcan.txt"; then fail "pcan2: channel 0x51 was used"; fi
[ ! -e "$work/pcan2/canlib.txt" ] || fail "pcan2: CANlib was called"

# pcan:2 occupied by another program: named with the library's text, and no fallback to Kvaser.
RALVEX_FAKE_PCAN_CALLS=pcan.txt RALVEX_FAKE_CANLIB=bus=1 RALVEX_FAKE_CANLIB_CALLS=canlib.txt \
  run pcan2-occupied 252 "PCANBasic.dll canlib32.dll" -i pcan:2 -f demo-app.hex
expect_text pcan2-occupied "$work/pcan2-occupied/console.txt" "Cannot open pcan:2: CAN_Initialize: \
fake PCAN error 0x400: the hardware is in use by another program\nCAN init error\n"
[ ! -e "$work/pcan2-occupied/canlib.txt" ] || fail "pcan2-occupied: CANlib was called"

# A misspelt adapter (pcan2 for pcan:2) is refused, never taken for the default walk; another
# name keeps its notice (scripts pass SocketCAN names on every system).
for typo in pcan2 kvaser1; do
  RALVEX_FAKE_PCAN_CALLS=pcan.txt RALVEX_FAKE_CANLIB_CALLS=canlib.txt \
    run "typo-$typo" 254 "PCANBasic.dll canlib32.dll" -i "$typo" -f demo-app.hex
  expect_text "typo-$typo" "$work/typo-$typo/console.txt" "Malformed CAN interface '$typo': "
  [ ! -e "$work/typo-$typo/pcan.txt" ] && [ ! -e "$work/typo-$typo/canlib.txt" ] ||
    fail "typo-$typo: a library was called"
done
RALVEX_FAKE_PCAN=bus=1 run socketcan-name 0 PCANBasic.dll -i can0 -f demo-app.hex
expect_text socketcan-name "$work/socketcan-name/console.txt" "CAN interface 'can0' is not used \
on this system: "

# Faults of the field through the DLLs: an adapter unplugged during the transfer (CAN_Write
# returns PCAN_ERROR_ILLHW from the 60th frame on) is named at once; a transmit buffer that stays
# full (canERR_TXBUFOFL) is tried for 100 ms and then named in the log; a bus-off controller
# (CAN_GetStatus) is named when the unit's answer does not come.
RALVEX_FAKE_PCAN=bus=1,write_fail_from=60 run unplugged 253 PCANBasic.dll -f demo-app.hex
expect_text unplugged "$work/unplugged/console.txt" "CAN adapter lost: pcan:1 (CAN_Write: \
fake PCAN error 0x1400): the adapter was unplugged or its driver stopped\nSend data failed: -3\n"
# Unplugged while the unit erases (reads fail from the fifth on): the first failing read ends the
# run, not the 91 windows of the erase.
for lib in PCANBasic.dll canlib32.dll; do
  name="unplugged-erase-${lib%%.dll}"
  RALVEX_FAKE_PCAN=bus=1,read_fail_from=5 RALVEX_FAKE_CANLIB=bus=1,read_fail_from=5 \
    RALVEX_FAKE_PCAN_CALLS=calls.txt RALVEX_FAKE_CANLIB_CALLS=calls.txt run "$name" 251 "$lib" \
    -f demo-app.hex
  expect_text "$name" "$work/$name/console.txt" "Erase flash\nCAN adapter lost: "
  expect_text "$name" "$work/$name/console.txt" \
    "): the adapter was unplugged or its driver stopped\nErase flash error\n"
  failed_ms="$(tr -d '\r' <"$work/$name/calls.txt" |
    sed -n 's/^reads failed for \([0-9]*\) ms when the process ended$/\1/p')"
  echo "  $name: the run ended ${failed_ms:-?} ms after the first failing read"
  [ -n "$failed_ms" ] && [ "$failed_ms" -le 1100 ] ||
    fail "$name: ${failed_ms:-no} ms from the first failing read to the end, expected at most 1100"
done
expect_text unplugged-erase-PCANBasic "$work/unplugged-erase-PCANBasic/console.txt" \
  "CAN adapter lost: pcan:1 (CAN_Read: fake PCAN error 0x1400)"
expect_text unplugged-erase-canlib32 "$work/unplugged-erase-canlib32/console.txt" \
  "CAN adapter lost: Kvaser channel (canRead"
RALVEX_FAKE_CANLIB=bus=1,write=-13 run queue-full 252 canlib32.dll -f demo-app.hex
expect_text queue-full "$work/queue-full/ZR4_BL_Log.txt" \
  "Kvaser USBcan: transmit queue still full after 100 ms\n"
expect_text queue-full "$work/queue-full/console.txt" \
  "Using Kvaser USBcan interface\nKvaser USBcan: transmit queue still full after 100 ms\n"
RALVEX_FAKE_PCAN=status=0x10 run bus-off 252 PCANBasic.dll -f demo-app.hex
expect_text bus-off "$work/bus-off/console.txt" "CAN bus state: bus-off (the adapter stopped \
sending: check the wiring, the termination and every node's bit rate, then start again)\n"

# Ctrl-C during a flash: wine hands SIGINT to the console control handler as CTRL_C_EVENT; the
# tool stops after the page in hand, closes the channel, names what the unit is left in and exits
# 130. (Wine ends a process on SIGTERM without a console event, so that row is not run here.)
dir="$work/ctrl-c"
mkdir -p "$dir"
cp "$exe" "$fakes/PCANBasic.dll" "$dir/"
head -c $((150 * 256 - 1)) /dev/urandom >"$dir/big.bin"
objcopy -I binary -O ihex --change-addresses 0x70020000 "$dir/big.bin" "$dir/big.hex"
(cd "$dir" && RALVEX_FAKE_PCAN=bus=1 RALVEX_FAKE_PCAN_CALLS=pcan.txt \
   exec wine ralvex-service-tool.exe -f big.hex >console.txt 2>wine-stderr.txt) &
wine_pid=$!
for _ in $(seq 1 100); do
  grep -q "Erase flash" "$dir/console.txt" 2>/dev/null && break
  sleep 0.1
done
sleep 1
tool_pid="$(pgrep -f 'ralvex-service-tool.exe -f big.hex' | head -n 1 || true)"
if [ -n "$tool_pid" ]; then kill -INT "$tool_pid"; else fail "ctrl-c: the tool was not running"; fi
set +e
wait "$wine_pid"
status=$?
set -e
echo "  ctrl-c: ralvex-service-tool.exe -f big.hex [PCANBasic.dll], SIGINT after the erase -> exit $status"
[ "$status" -eq 130 ] || fail "ctrl-c: exit status $status, expected 130"
expect_text ctrl-c "$dir/console.txt" \
  "Interrupted by SIGINT: the unit's application is erased or incomplete: flash it again\n"
expect_text ctrl-c "$dir/ZR4_BL_Log.txt" "Interrupted by SIGINT: "
expect_text ctrl-c "$dir/pcan.txt" "CAN_Uninitialize(0x51)"

# A second run on a channel that a first run holds: refused naming the first run's process, before
# anything is sent; the first run goes on unharmed. (The lock files live in the prefix's
# %ProgramData%.)
for run_name in held-first held-second; do
  mkdir -p "$work/$run_name"
  cp "$exe" "$fakes/PCANBasic.dll" "$work/$run_name/"
done
(cd "$work/held-first" && RALVEX_FAKE_PCAN=bus=1 \
   exec wine ralvex-service-tool.exe -i pcan:1 -r first.bin >console.txt 2>wine-stderr.txt) &
first_pid=$!
for _ in $(seq 1 100); do
  grep -q "Using PEAK" "$work/held-first/console.txt" 2>/dev/null && break
  sleep 0.1
done
set +e
(cd "$work/held-second" && RALVEX_FAKE_PCAN=bus=1 RALVEX_FAKE_PCAN_CALLS=pcan.txt \
   wine ralvex-service-tool.exe -i pcan:1 -r second.bin >console.txt 2>wine-stderr.txt)
second_status=$?
wait "$first_pid"
first_status=$?
set -e
echo "  held: a second run on pcan:1 -> exit $second_status; the first run -> exit $first_status"
# A backup whose PCAN channel cannot be initialised exits -2.
[ "$second_status" -eq 254 ] || fail "held: the second run exited $second_status, expected 254"
tr -d '\r' <"$work/held-second/console.txt" |
  grep -qE '^Cannot open pcan:1: in use by process [0-9]+ \(another run of this tool\)' ||
  fail "held: the second run did not name the first run's process"
if grep -q 'CAN_Initialize' "$work/held-second/pcan.txt" 2>/dev/null; then
  fail "held: the second run initialised the channel"
fi
[ "$first_status" -eq 0 ] || fail "held: the first run exited $first_status"
expect_text held-first "$work/held-first/console.txt" "Backup completed"

# A second run on a log that a first run writes, its name outside ASCII: refused naming the first
# run's process (the log's lock is named after the file, whatever its name's characters).
mkdir -p "$work/held-log"
cp "$exe" "$fakes/PCANBasic.dll" "$work/held-log/"
(cd "$work/held-log" && RALVEX_FAKE_PCAN=bus=1 \
   exec wine ralvex-service-tool.exe -i pcan:1 -r first.bin --log Prüfé.txt >console-first.txt \
   2>wine-stderr.txt) &
first_pid=$!
for _ in $(seq 1 100); do
  grep -q "Using PEAK" "$work/held-log/console-first.txt" 2>/dev/null && break
  sleep 0.1
done
set +e
(cd "$work/held-log" && RALVEX_FAKE_PCAN=bus=1 \
   wine ralvex-service-tool.exe -i pcan:2 -r second.bin --log Prüfé.txt >console.txt \
   2>>wine-stderr.txt)
second_status=$?
wait "$first_pid"
first_status=$?
set -e
echo "  held-log: a second run on the log Prüfé.txt -> exit $second_status; the first -> exit $first_status"
[ "$second_status" -eq 255 ] || fail "held-log: the second run exited $second_status, expected 255"
tr -d '\r' <"$work/held-log/console.txt" |
  LC_ALL=C grep -qE '^Log file Pr.+f.+\.txt is being written by process [0-9]+ \(another run of this tool\)' ||
  fail "held-log: the second run did not name the first run's process"
[ "$first_status" -eq 0 ] || fail "held-log: the first run exited $first_status"

# What stands under a lock's name in the lock folder (%ProgramData%\ralvex-service-tool of the
# prefix) and is no lock file: refused naming it, nothing behind it changed (a dangling link
# creates nothing), exit status of a channel that cannot be opened. Wine shows a Unix symbolic link
# as the file it leads to, not as a reparse point: the tool sees that the handle is open on
# another path. (A reparse point itself is decided by lock_entry_kind_windows, tested in
# locks_test.)
lock="$locks/ralvex-service-tool.pcan-1.lock"
for planted_kind in directory hard_link symlink dangling_symlink; do
  dir="$work/planted-$planted_kind"
  mkdir -p "$dir"
  cp "$exe" "$fakes/PCANBasic.dll" "$dir/"
  printf 'keep me\n' >"$dir/victim.txt"
  chmod 600 "$dir/victim.txt"
  case "$planted_kind" in
    directory) mkdir "$lock"; refusal="is a directory" ;;
    hard_link) ln "$dir/victim.txt" "$lock"; refusal="has 2 names (a hard link)" ;;
    symlink) ln -s "$dir/victim.txt" "$lock"; refusal="is a symbolic link" ;;
    dangling_symlink)
      ln -s "$dir/new.txt" "$lock"
      refusal="is there but cannot be looked at (a link that leads nowhere?)"
      ;;
  esac
  set +e
  (cd "$dir" && RALVEX_FAKE_PCAN=bus=1 RALVEX_FAKE_PCAN_CALLS=pcan.txt \
     wine ralvex-service-tool.exe -i pcan:1 -r backup.bin >console.txt 2>wine-stderr.txt)
  status=$?
  set -e
  rm -rf "$lock"
  echo "  planted-$planted_kind: -i pcan:1 with a $planted_kind under its lock's name -> exit $status"
  [ "$status" -eq 254 ] || fail "planted-$planted_kind: exit status $status, expected 254"
  expect_text "planted-$planted_kind" "$dir/console.txt" \
    "ralvex-service-tool.pcan-1.lock $refusal, not a lock file of this tool: remove it\nCAN init error\n"
  [ "$(cat "$dir/victim.txt")" = "keep me" ] || fail "planted-$planted_kind: the victim changed"
  [ "$(stat -c %a "$dir/victim.txt")" = 600 ] || fail "planted-$planted_kind: the victim's mode changed"
  [ ! -e "$dir/new.txt" ] || fail "planted-$planted_kind: the link's target was created"
  if grep -q 'CAN_Initialize' "$dir/pcan.txt" 2>/dev/null; then
    fail "planted-$planted_kind: the channel was initialised"
  fi
done
# Every run above has ended: the folder holds what it held before them.
locks_after="$(ls -A "$locks" 2>/dev/null || true)"
echo "  lock folder: $(wc -w <<<"$locks_before") entries before the runs, $(wc -w <<<"$locks_after") after"
[ "$locks_after" = "$locks_before" ] || fail "lock folder: $locks_after left"

# Where DLLs come from. plant DIR NAME...: the planted DLL, which creates planted-dll-loaded.txt in
# its own folder when loaded, as each NAME in DIR.
plant() {
  local dir="$1"
  shift
  mkdir -p "$dir"
  for name in "$@"; do cp "$planted" "$dir/$name"; done
}

# run_from NAME STATUS ARGS...: the .exe in NAME/bin, with the DLLs the row put there, run from
# NAME/work, a folder of its own; console in NAME/work/console.txt.
run_from() {
  local name="$1" expected="$2"
  shift 2
  local dir="$work/$name"
  mkdir -p "$dir/bin" "$dir/work"
  cp "$exe" "$dir/bin/"
  local status
  set +e
  (cd "$dir/work" && wine "$dir/bin/ralvex-service-tool.exe" "$@" >console.txt 2>wine-stderr.txt)
  status=$?
  set -e
  local beside here
  beside="$(cd "$dir/bin" && echo *.dll)"
  here="$(cd "$dir/work" && echo *.dll)"
  echo "  $name: bin/ralvex-service-tool.exe $* [bin: ${beside//\*.dll/-}; work: ${here//\*.dll/-}]\
 -> exit $status"
  [ "$status" -eq "$expected" ] || fail "$name: exit status $status, expected $expected"
}

# not_loaded NAME DIR / loaded NAME DIR: whether a planted DLL in DIR was loaded.
not_loaded() {
  [ ! -e "$2/planted-dll-loaded.txt" ] || fail "$1: the DLL planted in ${2#"$work/"} was loaded"
}
loaded() {
  [ -e "$2/planted-dll-loaded.txt" ] || fail "$1: the DLL planted in ${2#"$work/"} was not loaded"
}

# In the current folder (where the HEX files and the log are): never loaded.
plant "$work/planted-here/work" PCANBasic.dll canlib32.dll
run_from planted-here 0 -l
not_loaded planted-here "$work/planted-here/work"
expect_text planted-here "$work/planted-here/work/console.txt" \
  "no PCAN-Basic library found (searched: PCANBasic)\n"
expect_text planted-here "$work/planted-here/work/console.txt" \
  "no CANlib library found (searched: canlib32)\n"

# In a folder on PATH (WINEPATH adds it under wine): never loaded either.
plant "$work/planted-on-path/on-path" PCANBasic.dll canlib32.dll
WINEPATH="Z:$(tr / '\\' <<<"$work/planted-on-path/on-path")" run_from planted-on-path 0 -l
not_loaded planted-on-path "$work/planted-on-path/on-path"
expect_text planted-on-path "$work/planted-on-path/work/console.txt" \
  "no PCAN-Basic library found (searched: PCANBasic)\n"

# Beside the .exe: loaded, and found wanting as a PCAN-Basic.
plant "$work/planted-beside/bin" PCANBasic.dll
plant "$work/planted-beside/work" PCANBasic.dll
run_from planted-beside 0 -l
loaded planted-beside "$work/planted-beside/bin"
not_loaded planted-beside "$work/planted-beside/work"
expect_text planted-beside "$work/planted-beside/work/console.txt" \
  "$(winpath "$work/planted-beside/bin")\\\\PCANBasic.dll is not a usable PCAN-Basic\n"

# In the system folder, where the vendors' driver packages put it: loaded, and the fake's channels
# are listed; the one planted in the current folder stays unloaded.
system_dll="$WINEPREFIX/drive_c/windows/system32/PCANBasic.dll"
trap 'rm -f "$system_dll"' EXIT
cp "$fakes/PCANBasic.dll" "$system_dll"
plant "$work/system-folder/work" PCANBasic.dll
run_from system-folder 0 -l
rm -f "$system_dll"
not_loaded system-folder "$work/system-folder/work"
expect_text system-folder "$work/system-folder/work/console.txt" \
  "  PCAN-Basic: C:\\\\windows\\\\system32\\\\PCANBasic.dll, API version 4.8.0.5\n\
  pcan:1       PCAN-USB, device id 0x1, available (also -i pcan@0x1)\n"

# lib_path names the DLL loaded by its full path, in UTF-8, in a folder whose name is not ASCII;
# a plain LoadLibraryW does not take helper.dll (the planted DLL) from the current folder.
dir="$work/lib-path/Prüfstand Ü"
mkdir -p "$dir"
cp "$build/tests/windows/lib_path_check.exe" "$fakes/PCANBasic.dll" "$dir/"
plant "$work/lib-path/work" helper.dll
set +e
(cd "$work/lib-path/work" && LC_ALL=C.UTF-8 wine "$dir/lib_path_check.exe" >console.txt \
   2>wine-stderr.txt)
status=$?
set -e
named="$(cat "$work/lib-path/work/lib-path.txt" 2>/dev/null || true)"
echo "  lib-path: lib_path_check.exe [PCANBasic.dll; work: helper.dll] -> exit $status, $named"
[ "$status" -eq 0 ] || fail "lib-path: $(tr -d '\r' <"$work/lib-path/work/console.txt")"
expected="Z:$(tr / '\\' <<<"$dir")\\PCANBasic.dll"
[ "$named" = "$expected" ] || fail "lib-path: expected $expected"
not_loaded lib-path "$work/lib-path/work"

# Neither library: the channel cannot be opened.
run none 252 "" -f demo-app.hex
expect_text none "$work/none/console.txt" "CAN init error\n"
expect_text none "$work/none/ZR4_BL_Log.txt" \
  "PEAK: Cannot initialize DLL\nKvaser: ERROR: can not load canlib32.dll\n"

wineserver -k 2>/dev/null || true
if [ "$failures" -ne 0 ]; then
  for f in "$work"/*/console.txt; do echo "---- $f"; tr -d '\r' <"$f" | tail -n 15; done
  echo "== Windows smoke test: $failures failures"
  exit 1
fi
echo "== Windows smoke test: all passed"
