#!/usr/bin/env bash
# Runs the vcan VM harness: in-vm.sh HARNESS_DIR DIR SCRIPT [ARGS...]
# The harness uses KVM whenever /dev/kvm is writable, and on some hosts qemu then aborts ("failed
# to set MSR"). Unless VCANVM_USE_KVM=1, /dev/kvm is hidden behind a read-only empty file in a
# private mount namespace, so the VM runs under software emulation (a few seconds slower).
set -euo pipefail
harness="$1"
shift
if [ "${VCANVM_USE_KVM:-0}" != 1 ] && [ -w /dev/kvm ] && [ "$(id -u)" -eq 0 ] &&
   command -v unshare >/dev/null; then
  blank="$(mktemp)"
  trap 'rm -f "$blank"' EXIT
  unshare -m sh -c 'mount --bind "$0" /dev/kvm && mount -o remount,bind,ro /dev/kvm && shift &&
                    exec "$@"' "$blank" x "$harness/run-in-vm.sh" "$@"
else
  "$harness/run-in-vm.sh" "$@"
fi
