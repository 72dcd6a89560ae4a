#!/bin/sh
# Runs inside the VM started with VCANVM_CAN_CONTROLLERS=2 (see run.sh): `ralvex-service-tool -l`
# with two SJA1000 controllers under the kernel's driver (down at start) and vcan0. can0 is set to
# 250000 bit/s and up, can1 to 125000 bit/s and left down; every line and finding is checked.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ip link set can0 type can bitrate 250000 && ip link set can0 up || fail "can0 could not be set up"
ip link set can1 type can bitrate 125000 || fail "can1 could not be set"
mkdir -p /tmp/listing && cd /tmp/listing
"$here/ralvex-service-tool" -l >console.txt 2>stderr.txt
status=$?
cat console.txt
[ "$status" -eq 0 ] || fail "exit status $status"
[ -s stderr.txt ] && fail "stderr: $(cat stderr.txt)"

# expect TEXT: the console holds TEXT (printf escapes allowed, so that it may span lines).
expect() {
  printf '%b' "$1" >expected.txt
  if ! grep -qF -f expected.txt console.txt 2>/dev/null; then
    fail "no line '$1'"
  fi
}
expect "  can0         SocketCAN, up, 250000 bit/s, error-active, txqueuelen 10"
expect "  can1         SocketCAN, down, 125000 bit/s, stopped, txqueuelen 10"
expect "  vcan0        SocketCAN, up, virtual (vcan), txqueuelen 1000"
expect "  can0 has a transmit queue of 10 frames"
expect "      fix: sudo ip link set can0 txqueuelen 1000"
expect "  can1 is down"
expect "      fix: sudo ip link set can1 type can bitrate 250000 && sudo ip link set can1 up"
expect "  can1 runs at 125000 bit/s; the bus runs at 250000"
expect "      fix: sudo ip link set can1 down && sudo ip link set can1 type can bitrate 250000 && sudo ip link set can1 up"
expect "  can1 has a transmit queue of 10 frames"
expect "  no PCAN-Basic library found (searched: libpcanbasic.so, libpcanbasic.so.4, libpcanbasic.so.0)"
# Nothing about can0's bit rate or state, nor about vcan0.
grep -q "^  can0 is down\|^  can0 runs at\|^  vcan0 is\|^  vcan0 has" console.txt && fail "a finding too many"
# Listing sends nothing: no frame left either controller.
for dev in can0 can1; do
  tx="$(cat /sys/class/net/$dev/statistics/tx_packets)"
  [ "$tx" -eq 0 ] || fail "$dev sent $tx frames"
done
# Bus-off is not reached here; its finding is covered by the fake-library tests' wording.
if [ "$failures" -ne 0 ]; then
  echo "== listing: $failures failures"
  exit 1
fi
echo "== listing: all passed"
