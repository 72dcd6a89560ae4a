#!/bin/bash
# Runs inside the VM started with VCANVM_CAN_CONTROLLERS=2 and one vCPU (see run.sh): two SJA1000
# controllers under the kernel's driver on one emulated bus, both at 250000 bit/s with the default
# 10-frame queue, paced by a token bucket at a real bus's pace (250 kbit/s: a frame every 0.5 ms,
# 10-frame limit), so that the tool and the emulator meet full queues as on a real adapter.
# ralvex-sim-unit sits on can1, the tool on can0: first everything end to end (end_to_end.sh
# controllers can0 can1), then frames lost on purpose (a controller's interrupts held off by
# hold_irq until its receive FIFO overruns: the tool's console line for it, and a -b flash that
# meets a lost frame), then the faults of the field, each with its console line, its exit
# status and a bounded time:
#   can0 down at the start; can0 taken down during a backup; SIGINT during a restore; SIGTERM
#   during a backup; a bus-off error frame while a command waits (on vcan0, where error frames can
#   be injected); and last, can0's PCI device removed during a flash.
set -u
cd "$(dirname "$0")"
out=/tmp/controllers
. ./vm_common.sh
. "$here/sensor_pages.sh"

# The emulated controller hands a sent frame to the receiving one at once, and the receiver's FIFO
# holds 4 extended frames: its interrupt must be served before the 5th comes, or the frame is lost
# (the driver counts it in rx_over_errors). With two vCPUs, can0's interrupt is served on one and
# can1's on the other; on a host busy on both cores the receiver's vCPU thread is often not run
# for some milliseconds while the sender's is, and the FIFO overran: 10 and 44 frames lost in two
# runs of the transfers with two vCPUs (paced at 100 kbit/s, and not paced), 4 with four vCPUs at
# 100 kbit/s. With one vCPU (run.sh) the send and the receiving interrupt are served by one thread
# in turn; no frame was lost, paced or not, on the same busy host.
for dev in can0 can1; do
  ip link set "$dev" down
  ip link set "$dev" type can bitrate 250000 && ip link set "$dev" up || fail "$dev could not be set up"
  tc qdisc replace dev "$dev" root tbf rate 250kbit burst 16 limit 160 || fail "$dev: no tbf qdisc"
done
ip -details link show can0 | sed -n '1,3p'
echo "vCPUs: $(nproc)"

# Frames the drivers counted as lost on receipt (receive FIFO overruns) on both controllers.
rx_losses() {
  cat /sys/class/net/can0/statistics/rx_over_errors /sys/class/net/can1/statistics/rx_over_errors \
    /sys/class/net/can0/statistics/rx_fifo_errors /sys/class/net/can1/statistics/rx_fifo_errors \
    2>/dev/null | awk '{ s += $1 } END { print s + 0 }'
}

# The transfers end to end, the emulator's memories compared byte for byte. A transfer that failed
# while the drivers counted a lost frame runs once more (end_to_end.sh); one that reported success
# with a wrong byte never does, and end_to_end.sh exits 2 for it.
./end_to_end.sh controllers can0 can1
case $? in
  0) ;;
  2) fail "end to end on the controllers: a transfer succeeded with wrong bytes" ;;
  *) fail "end to end on the controllers" ;;
esac
ip -s -s link show can0
ip -s -s link show can1


# fault NAME STATUS TEXT AFTER ACTION ARGS...: runs the tool with ARGS in $out/NAME, does ACTION (a
# shell command; "" for none) AFTER seconds in the background, and expects exit status STATUS (as
# the shell sees it; "failure" for any other than 0, 130 and 143) and the console line TEXT. Leaves the seconds from ACTION to the exit in
# $fault_after_s.
fault_after_s=0
fault() {
  local name="$1" expected="$2" text="$3" after="$4" action="$5"
  shift 5
  local dir="$out/$name"
  mkdir -p "$dir"
  local start status end acted lost_before lost
  lost_before="$(rx_losses)"
  start="$EPOCHREALTIME"
  (cd "$dir" && exec "$here/ralvex-service-tool" "$@" >console.txt 2>&1) &
  local tool=$!
  if [ -n "$action" ]; then
    sleep "$after"
    acted="$EPOCHREALTIME"
    (eval "$action") || fail "$name: '$action' failed"
  else
    acted="$start"
  fi
  wait "$tool"
  status=$?
  end="$EPOCHREALTIME"
  fault_after_s="$(echo "$acted $end" | awk '{printf "%.2f", $2 - $1}')"
  lost=$(($(rx_losses) - lost_before))
  echo "  $name: ralvex-service-tool $* -> exit $status, ${fault_after_s} s after the fault," \
    "drivers lost $lost"
  local ok=1
  if [ "$expected" = failure ]; then
    case "$status" in 0 | 130 | 143) fail "$name: exit status $status"; ok=0 ;; esac
  elif [ "$status" -ne "$expected" ]; then
    fail "$name: exit status $status, expected $expected"; ok=0
  fi
  grep -qF -- "$text" "$dir/console.txt" || { fail "$name: no line '$text'"; ok=0; }
  if [ "$ok" -eq 0 ]; then
    echo "---- console of $name"; cat "$dir/console.txt"
    echo "---- end of ZR4_BL_Log.txt of $name"; tail -n 20 "$dir/ZR4_BL_Log.txt"
  fi
}
# For ACTION: signals the tool that fault() started ($tool is its process id).
signal_tool() { kill "-$1" "$tool"; }
within() {
  awk -v s="$fault_after_s" -v limit="$2" 'BEGIN { exit !(s <= limit) }' ||
    fail "$1: took ${fault_after_s} s after the fault, more than $2 s"
}

# Frames lost on purpose. A flood does not overrun a controller here: with one vCPU the receiver's
# interrupt is served after every frame the sender's driver hands its controller. Measured on a
# host busy on both cores and on a lighter one: 2000 frames sent back to back from can1 (cangen -g
# 0), three times each, and two backups on can0 with 3000 such frames beside them: every frame
# reached can0, no overrun. With two vCPUs such floods (also with can0's interrupt on the other
# vCPU, busy or not) overran can0 in 10 of 11 runs on the lighter host and in all 11 on the busy
# one, but two vCPUs lose the transfers' own frames too (see above). hold_irq holds a controller's interrupts off for 20 ms from a known frame of a
# transfer on, as a machine too busy to serve it: its FIFO keeps 4 frames, and when it is served
# again the driver counts the overrun of the rest and sends the CAN_ERR_CRTL_RX_OVERFLOW error
# frame. That happened in every run.
statistic() { cat "/sys/class/net/$1/statistics/$2"; }
overrun_line="SocketCAN: received frames were lost (receive buffer overrun); the transfer's checks will fail: close programs that keep the PC busy, connect the adapter without a USB hub, and run the job again"

# held NAME IFACE MS WATCH STAT AHEAD AFTER ARGS...: the tool with ARGS in $out/NAME while hold_irq
# holds IFACE's interrupts off for MS ms, AFTER ms after WATCH's STAT has grown by AHEAD. Leaves
# the exit status in $held_status and the overruns IFACE's driver counted in $held_overruns; fails
# when the hold did not happen or the driver counted no overrun.
held_status=0
held_overruns=0
held() {
  local name="$1" iface="$2" ms="$3" watch="$4" stat="$5" ahead="$6" after="$7"
  shift 7
  local dir="$out/$name" over_before start seconds hold wait_after=()
  [ "$after" -gt 0 ] && wait_after=("$after")
  mkdir -p "$dir"
  over_before="$(statistic "$iface" rx_over_errors)"
  "$here/hold_irq" "$iface" "$ms" "$watch" "$stat" $(($(statistic "$watch" "$stat") + ahead)) \
    "${wait_after[@]}" >"$dir/hold.txt" 2>&1 &
  hold=$!
  start="$EPOCHREALTIME"
  (cd "$dir" && exec "$here/ralvex-service-tool" "$@" >console.txt 2>&1)
  held_status=$?
  seconds="$(echo "$start $EPOCHREALTIME" | awk '{printf "%.2f", $2 - $1}')"
  for _ in $(seq 1 40); do
    kill -0 "$hold" 2>/dev/null || break
    sleep 0.05
  done
  kill -TERM "$hold" 2>/dev/null  # still waiting for its count: the hold never started
  wait "$hold"
  held_overruns=$(($(statistic "$iface" rx_over_errors) - over_before))
  echo "  $name: ralvex-service-tool $* -> exit $held_status in $seconds s;" \
    "$(tail -n 1 "$dir/hold.txt"); overruns counted by $iface's driver: $held_overruns"
  grep -q "interrupts were off" "$dir/hold.txt" || fail "$name: the interrupts were not held off"
  [ "$held_overruns" -ge 1 ] || fail "$name: $iface's driver counted no receive FIFO overrun"
}
# first_line FILE PATTERN: the number of FILE's first line that matches PATTERN (grep -E), or 0.
first_line() { grep -nE -- "$2" "$1" | head -n 1 | cut -d: -f1 | grep . || echo 0; }
show() {
  echo "---- console of $1"; cat "$out/$1/console.txt"
  echo "---- end of ZR4_BL_Log.txt of $1"; tail -n 20 "$out/$1/ZR4_BL_Log.txt"
}

# A backup file from before, which a failed backup must leave as it was.
earlier="$out/earlier.bin"
head -c 100 /dev/urandom >"$earlier"

echo "== frames lost on the controllers"
# The tool's controller overruns in the middle of a backup page, while the unit sends it: the
# console says so once, before the sequence error or the missing frame that fails the backup, and
# the earlier backup stays. The unit answers production test mode with one frame, then every page
# with 39 (the answer, 37 data frames, the checksum): the hold starts at page 3's 10th data frame.
start_sim overrun can1 --parameters-in "$here/parameters.bin" && {
  mkdir -p "$out/overrun" && cp "$earlier" "$out/overrun/backup.bin"
  held overrun can0 20 can0 rx_packets $((1 + 39 * 2 + 11)) 0 -r backup.bin -i can0
  console="$out/overrun/console.txt"
  said="$(grep -cxF "$overrun_line" "$console")"
  line="$(first_line "$console" "received frames were lost")"
  failed="$(first_line "$console" "^(Expected sequence index|Checksum mismatch|Read CAN frame failed)")"
  if [ "$held_status" -ne 0 ] && [ "$said" -eq 1 ] && [ "$failed" -gt "$line" ] && [ "$line" -gt 0 ]; then
    echo "  overrun: said once (console line $line), then the backup failed (line $failed)"
  else
    fail "overrun: exit $held_status; the overrun line said $said times (line $line), the failure at line $failed"
    show overrun
  fi
  cmp -s "$out/overrun/backup.bin" "$earlier" || fail "overrun: the earlier backup changed"
  ls "$out/overrun" | grep -q '\.tmp$' && fail "overrun: a temporary file was left"
  stop_sim
}

# Lost frames that were not the unit's: the tool's controller overruns on frames of another
# identifier (sent from can1 while its interrupts are off) as the unit erases. The tool still says
# so, once; the flash completes with every byte in place.
rm -f "$out/overrun-erase.bin"
start_sim overrun-erase can1 --erase-ms 3000 --flash-out "$out/overrun-erase.bin" && {
  mkdir -p "$out/overrun-erase"
  (
    for _ in $(seq 1 200); do
      grep -q "holding" "$out/overrun-erase/hold.txt" 2>/dev/null && break
      sleep 0.02
    done
    for _ in 1 2 3 4 5 6 7 8; do cansend can1 7FF#0011223344556677; done
  ) &
  flood=$!
  # The unit's first frame answers the bootloader's start; the tool then sends the erase and
  # waits: the hold starts 300 ms after that answer and ends long before the erase's.
  held overrun-erase can0 1000 can1 tx_packets 1 300 -f "$here/app.hex" -i can0
  wait "$flood"
  stop_sim
  console="$out/overrun-erase/console.txt"
  said="$(grep -cxF "$overrun_line" "$console")"
  if [ "$held_status" -eq 0 ] && [ "$said" -eq 1 ] && grep -qxF "Flashing completed" "$console" &&
     cmp -s "$out/overrun-erase.bin" "$here/expected-app-flash.bin"; then
    echo "  overrun-erase: said once; the flash completed with every byte in place"
  else
    fail "overrun-erase: exit $held_status, the overrun line said $said times, the flash $(cmp -s "$out/overrun-erase.bin" "$here/expected-app-flash.bin" && echo as expected || echo differs)"
    show overrun-erase
  fi
}

# A -b sensor flash that meets a lost frame: the node's controller overruns in page 1's data
# frames (the hold starts at the 40th frame the node receives; the page has 150), the node refuses
# the page, and the tool either fails or takes it with the page named and the warning before
# "Flashing completed": never a silent success with wrong bytes. Without -b the flash fails.
rm -f "$out/lost-b.bin" "$out/lost.bin"
start_sim lost-b can1 --sensors-on 1500 --node-out "17:$out/lost-b.bin" && {
  held lost-b can1 20 can1 rx_packets 40 0 -f "$here/sensor.hex" -g 17 -b -i can0
  stop_sim
  console="$out/lost-b/console.txt"
  if [ "$held_status" -ne 0 ]; then
    echo "  lost-b: the flash failed (exit $held_status)"
  else
    account="$(forced_account "$console" "$out/lost-b.bin" "$here/expected-node-flash.bin")"
    named="$(named_pages "$console" | sed 's/^/0x/' | tr '\n' ' ')"
    case "$account" in
      named) echo "  lost-b: exit 0; the node refused ${named}and the tool named it and warned before 'Flashing completed'" ;;
      same) fail "lost-b: the node's flash is whole: the lost frames were none of page 1's" ;;
      *) fail "lost-b: exit 0 and the node's flash differs at $(differing_pages "$out/lost-b.bin" "$here/expected-node-flash.bin" | tr '\n' ' ')($account); named: ${named:-none}"
         show lost-b ;;
    esac
  fi
}
start_sim lost can1 --node-out "5:$out/lost.bin" && {
  held lost can1 20 can1 rx_packets 40 0 -f "$here/sensor.hex" -g 5 -i can0
  stop_sim
  console="$out/lost/console.txt"
  if [ "$held_status" -ne 0 ] && grep -qxF "ERROR --- Illegal answer data" "$console" &&
     ! grep -q "Flashing completed\|taken as written" "$console"; then
    echo "  lost: without -b the flash failed on the refused page (exit $held_status)"
  else
    fail "lost: without -b: exit $held_status"
    show lost
  fi
}

echo "== faults on the controllers"
ip link set can0 down
fault down-at-start 252 \
  "Cannot open can0: state: the interface is down; bring it up: sudo ip link set can0 type can bitrate 250000 && sudo ip link set can0 up" \
  0 "" -f "$here/app.hex" -i can0
grep -q "DL_START_LOADING" "$out/down-at-start/console.txt" && fail "down-at-start: a command was sent"
ip link set can0 up

# A backup that loses its interface keeps the earlier file, and no temporary file stays behind.
start_sim down-mid can1 --parameters-in "$here/parameters.bin" && {
  mkdir -p "$out/down-mid" && cp "$earlier" "$out/down-mid/backup.bin"
  fault down-mid failure "CAN adapter lost: can0 went down" 3 "ip link set can0 down" \
    -r backup.bin -i can0
  within down-mid 1.5
  cmp -s "$out/down-mid/backup.bin" "$earlier" || fail "down-mid: the earlier backup changed"
  ls "$out/down-mid" | grep -q '\.tmp$' && fail "down-mid: a temporary file was left"
  grep -q "No answer" "$out/down-mid/console.txt" && fail "down-mid: 'No answer' instead of the cause"
  stop_sim
}
ip link set can0 up

start_sim sigint can1 --parameters-in "$here/parameters.bin" && {
  fault sigint 130 \
    "Interrupted by SIGINT: the unit's parameter area is partly restored: restore it again" 3 \
    "signal_tool INT" -w "$here/restore.bin" -i can0
  within sigint 1
  grep -q "Interrupted by SIGINT" "$out/sigint/ZR4_BL_Log.txt" || fail "sigint: not in the log"
  stop_sim
}

start_sim sigterm can1 --parameters-in "$here/parameters.bin" && {
  mkdir -p "$out/sigterm" && cp "$earlier" "$out/sigterm/backup.bin"
  fault sigterm 143 "Interrupted by SIGTERM: the unit is unchanged; no backup was written" 3 \
    "signal_tool TERM" -r backup.bin -i can0
  within sigterm 1
  cmp -s "$out/sigterm/backup.bin" "$earlier" || fail "sigterm: the earlier backup changed"
  ls "$out/sigterm" | grep -q '\.tmp$' && fail "sigterm: a temporary file was left"
  stop_sim
}

# Bus-off while DL_START_LOADING waits for an answer that never comes: the wait says why.
fault bus-off 130 "CAN bus state: bus-off" 1 \
  "cansend vcan0 20000040#0000000000000000; sleep 0.5; signal_tool INT" -f "$here/app.hex" -i vcan0
grep -q "No answer" "$out/bus-off/console.txt" && fail "bus-off: 'No answer' after the interrupt"

# Last: the adapter leaves the machine. Both controllers may sit on one PCI device, so the emulator
# may lose its interface too; the tool must name the cause all the same (the kernel takes the
# interface down before it removes it, so the first error is often ENETDOWN).
pci="$(readlink -f /sys/class/net/can0/device)"
start_sim unplug can1 && {
  fault unplug failure "CAN adapter lost: can0" 3 "echo 1 >'$pci/remove'" \
    -w "$here/restore.bin" -i can0
  within unplug 1.5
  stop_sim
}
[ -e /sys/class/net/can0 ] && fail "unplug: can0 is still there"

finish "== controllers"
