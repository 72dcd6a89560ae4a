#!/usr/bin/env bash
# Builds the SocketCAN test program, the tool and ralvex-sim-unit, makes the end-to-end inputs and
# runs it all in a VM with a real kernel and vcan0 (socketcan_vm.sh), then, in a VM with two
# emulated CAN controllers as well, the listing (-l, listing.sh) and the transfers and faults on
# the controllers (controllers.sh), and last, in a VM with Kvaser's own CANlib and driver on one
# of the two controllers (VCANVM_KVASER=1: the harness builds Kvaser's linuxcan for the VM's kernel,
# cached), the tool through the real library (kvaser.sh).
# Usage: tests/vm/run.sh [BUILD_DIR]   (default build-vm; needs srec_cat from srecord)
# The VM harness is taken from $VCANVM, by default ../shared/tools/vcan-vm beside the repository.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$repo/build-vm}"
harness="${VCANVM:-$repo/../shared/tools/vcan-vm}"
if [ ! -x "$harness/run-in-vm.sh" ]; then
  echo "vcan VM harness not found at $harness (set VCANVM)" >&2
  exit 125
fi
# Kvaser's linuxcan for the VM's kernel (kvaser.sh; cached, on a fresh machine about a minute,
# most of it installing the kernel's headers): built beside the tool's build, so that the
# harness finds it ready when the last VM starts.
kvaser_kit="$harness/../kvaser-linuxcan/build.sh"
kvaser_log="$(mktemp)"
kvaser_build=""
if [ -x "$kvaser_kit" ]; then
  "$kvaser_kit" >"$kvaser_log" 2>&1 &
  kvaser_build=$!
fi
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$repo" -B "$build" -G Ninja "${launcher[@]}" >/dev/null
cmake --build "$build" -j2 --target socketcan_vm_test ralvex-service-tool ralvex-sim-unit
# hold_irq (controllers.sh) holds a controller's interrupts off so that its receive FIFO overruns.
if [ ! "$build/hold_irq" -nt "$repo/tests/vm/hold_irq.cpp" ]; then
  compiler=("${CXX:-c++}")
  if command -v ccache >/dev/null; then compiler=(ccache "${compiler[@]}"); fi
  "${compiler[@]}" -std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion \
    -Wformat=2 -o "$build/hold_irq" "$repo/tests/vm/hold_irq.cpp"
fi
# kvaser_busoff.so (kvaser.sh) takes the tool's CANlib channel off bus in the middle of a flash.
if [ ! "$build/kvaser_busoff.so" -nt "$repo/tests/vm/kvaser_busoff.c" ]; then
  "${CC:-cc}" -shared -fPIC -O2 -Wall -Wextra -o "$build/kvaser_busoff.so" \
    "$repo/tests/vm/kvaser_busoff.c" -ldl
fi
dir="$(mktemp -d)"
trap 'rm -rf "$dir" "$kvaser_log"' EXIT
cp "$build/tests/socketcan_vm_test" "$build/ralvex-service-tool" "$build/ralvex-sim-unit" \
   "$build/hold_irq" "$repo/tests/vm/socketcan_vm.sh" "$repo/tests/vm/end_to_end.sh" \
   "$repo/tests/vm/sensor_pages.sh" "$repo/tests/vm/listing.sh" "$repo/tests/vm/controllers.sh" \
   "$repo/tests/vm/controllers_vm.sh" "$repo/tests/vm/station.sh" "$repo/tests/vm/kvaser.sh" \
   "$repo/tests/vm/vm_common.sh" "$build/kvaser_busoff.so" "$dir/"
cp "$repo/examples/station.sh" "$dir/station-script.sh"

# End-to-end inputs, and the memories they must leave in the emulator. The application (2000
# bytes from 0x70020000) ends inside its 8th page, which the tool fills up with zeros; the rest of
# the erased flash reads 0xFF. The sensor image (2000 bytes from 0x20000) takes three 900-byte
# pages, the third filled up with zeros; below 0x20000 the node keeps its bootloader (0x5A).
fill() { head -c "$2" /dev/zero | tr '\0' "$1"; }
head -c 2000 /dev/urandom >"$dir/app.bin"
srec_cat "$dir/app.bin" -binary -offset 0x70020000 -o "$dir/app.hex" -intel -address-length=4
{ cat "$dir/app.bin"; fill '\000' 48; fill '\377' $((0x3E0000 - 2048)); } >"$dir/expected-app-flash.bin"
head -c 2000 /dev/urandom >"$dir/sensor.bin"
srec_cat "$dir/sensor.bin" -binary -offset 0x20000 -o "$dir/sensor.hex" -intel -address-length=3
{ fill '\132' $((0x20000)); cat "$dir/sensor.bin"; fill '\000' 700;
  fill '\377' $((0x400000 - 0x20000 - 2700)); } >"$dir/expected-node-flash.bin"
head -c $((0xD000)) /dev/urandom >"$dir/parameters.bin"
head -c $((0xD000)) /dev/urandom >"$dir/restore.bin"
rm "$dir/app.bin" "$dir/sensor.bin"

# Both VMs get one vCPU. With two, the tool and the emulator (or the two controllers' interrupts)
# run on different vCPUs, and every answer waits until the host runs the other vCPU's thread: on a
# host busy on both cores, a frame's round trip between two processes took 3-5 ms on average and up
# to 47 ms (the tool gives the unit about 60 ms to answer a page command), and a receiving controller
# whose vCPU was not run overran its receive FIFO. With one vCPU the same round trip took 0.3 ms,
# at most 24 ms, and no frame was lost (see controllers.sh).
export VCANVM_CPUS=1
"$repo/tests/vm/in-vm.sh" "$harness" "$dir" socketcan_vm.sh
# Two real controllers (SJA1000 under the kernel's driver) beside vcan0: the listing, then the
# transfers and faults on them.
VCANVM_CAN_CONTROLLERS=2 "$repo/tests/vm/in-vm.sh" "$harness" "$dir" controllers_vm.sh
# Kvaser's CANlib and kvpcican on the first controller, can1 (SocketCAN) for the emulator.
if [ -n "$kvaser_build" ] && ! wait "$kvaser_build"; then
  cat "$kvaser_log"
  echo "building Kvaser's linuxcan failed" >&2
  exit 125
fi
started=$SECONDS
VCANVM_KVASER=1 "$repo/tests/vm/in-vm.sh" "$harness" "$dir" kvaser.sh
echo "the VM with Kvaser's CANlib took $((SECONDS - started)) s"
