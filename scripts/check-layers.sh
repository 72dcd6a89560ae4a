#!/usr/bin/env bash
# Fails when a module includes a header of a layer above it. Each layer knows only those below:
# app -> ops -> protocol -> can -> platform, with ihex and log beside; sim (the emulated devices)
# sits on protocol and the emulated bus.
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
if [ "$failures" -ne 0 ]; then
  echo "$failures include(s) point upward"
  exit 1
fi
echo "layers: no include points upward"
