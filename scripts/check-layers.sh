#!/usr/bin/env bash
# Fails when a module includes a header of a layer above it. Each layer knows only those below:
# app -> ops -> protocol -> can -> platform, with ihex and log beside; sim (the emulated devices)
# sits on protocol and the emulated bus. Inside can/ the concepts are ranked the same way:
# frame, target (the -i value) < backend (the contract) < vendor_library < the back-ends (peak, kvaser, socketcan, sim;
# none knows another) < channel, listing < interfaces.
# Usage: scripts/check-layers.sh   (from anywhere; reads the tracked sources)
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [app]="app ops protocol can ihex log platform sim"
  [ops]="ops protocol can ihex log platform"
  [protocol]="protocol can log platform"
  [can]="can log platform"
  [ihex]="ihex log platform"
  [log]="log platform"
  [platform]="platform"
  [sim]="sim protocol can log platform"
)

failures=0
for layer in "${!allowed[@]}"; do
  [ -d "$layer" ] || continue
  while IFS= read -r line; do
    file="${line%%:*}"
    target="$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^/"]*\)\/.*/\1/p' <<<"${line#*:}")"
    [ -n "$target" ] || continue
    if ! grep -qw -- "$target" <<<"${allowed[$layer]}"; then
      echo "layer violation: $file includes $target/ (allowed for $layer/: ${allowed[$layer]})"
      failures=$((failures + 1))
    fi
  done < <(grep -rn --include='*.cpp' --include='*.h' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$layer" \
             | sed 's/^\([^:]*\):[0-9]*:/\1:/')
done
# The rank of a file inside can/ (by its path), and the back-end folder it belongs to, if any.
can_rank() {
  case "$1" in
    can/frame.h | can/target.*) echo 0 ;;
    can/backend.h) echo 1 ;;
    can/vendor_library.*) echo 2 ;;
    can/peak/* | can/kvaser/* | can/socketcan/* | can/sim/*) echo 3 ;;
    can/channel.* | can/listing.*) echo 4 ;;
    can/interfaces.*) echo 5 ;;
    *) echo "" ;;
  esac
}
backend_of() { case "$1" in can/*/*) echo "${1#can/}" | cut -d/ -f1 ;; *) echo "" ;; esac; }
while IFS= read -r line; do
  file="${line%%:*}"
  target="$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\(can\/[^"]*\)".*/\1/p' <<<"${line#*:}")"
  [ -n "$target" ] || continue
  from="$(can_rank "$file")"
  to="$(can_rank "$target")"
  if [ -z "$from" ] || [ -z "$to" ]; then
    echo "can/ concept unknown: $file includes $target (rank them in scripts/check-layers.sh)"
    failures=$((failures + 1))
    continue
  fi
  from_backend="$(backend_of "$file")"
  to_backend="$(backend_of "$target")"
  if [ -n "$from_backend" ] && [ "$from_backend" = "$to_backend" ]; then continue; fi
  if [ "${file%.*}" = "${target%.*}" ]; then continue; fi
  if [ "$to" -ge "$from" ]; then
    echo "can/ concept violation: $file includes $target (a file may include only lower concepts)"
    failures=$((failures + 1))
  fi
done < <(grep -rn --include='*.cpp' --include='*.h' -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"can/' can \
           | sed 's/^\([^:]*\):[0-9]*:/\1:/')

if [ "$failures" -ne 0 ]; then
  echo "$failures include(s) point upward"
  exit 1
fi
echo "layers: no include points upward (can/ inside included)"
