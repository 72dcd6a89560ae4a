#!/usr/bin/env bash
# Builds the SocketCAN test program and runs it in a VM with a real kernel and vcan0.
# Usage: tests/vm/run.sh [BUILD_DIR]   (default build-vm)
# The VM harness is taken from $VCANVM, by default ../shared/tools/vcan-vm beside the repository.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$repo/build-vm}"
harness="${VCANVM:-$repo/../shared/tools/vcan-vm}"
if [ ! -x "$harness/run-in-vm.sh" ]; then
  echo "vcan VM harness not found at $harness (set VCANVM)" >&2
  exit 125
fi
cmake -S "$repo" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target socketcan_vm_test
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cp "$build/tests/socketcan_vm_test" "$repo/tests/vm/socketcan_vm.sh" "$dir/"
"$repo/tests/vm/in-vm.sh" "$harness" "$dir" socketcan_vm.sh
