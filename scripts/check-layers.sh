#!/usr/bin/env bash
# Fails when a module includes a header of a layer above it, or when a CAN back-end calls into the
# channel or the opening beyond what can/backend.h names. Each layer knows only those below:
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

# A back-end may call into the channel and the opening only what can/backend.h names (the accepted
# identifiers for its filter, the interface lock): everything else it has to say goes back as its
# calls' results. Counted are uses (calls and function references, comments left out) in can/peak,
# can/kvaser, can/socketcan and can/sim of the functions that can/channel.* and can/interfaces.*
# declare or define.
upward="$(sed 's://.*$::' can/channel.* can/interfaces.* \
            | grep -E '^[A-Za-z_][^;=]*\bcan_[a-z0-9_]+\(' | grep -oE '\bcan_[a-z0-9_]+\(' \
            | tr -d '(' | sort -u)"
named="$(sed 's://.*$::' can/backend.h | grep -oE '\bcan_[a-z0-9_]+\(' | tr -d '(' | sort -u)"
named_uses=0
unnamed_uses=0
while IFS= read -r file; do
  while IFS=: read -r number name; do
    grep -qxF -- "$name" <<<"$upward" || continue
    if grep -qxF -- "$name" <<<"$named"; then
      named_uses=$((named_uses + 1))
    else
      echo "back-end calls upward: $file:$number uses $name (not named in can/backend.h)"
      unnamed_uses=$((unnamed_uses + 1))
    fi
  done < <(sed 's://.*$::' "$file" | grep -noE '\bcan_[a-z0-9_]+\b' || true)
done < <(find can/peak can/kvaser can/socketcan can/sim -name '*.cpp' -o -name '*.h' | sort)
if [ "$unnamed_uses" -ne 0 ]; then
  echo "$unnamed_uses call(s) from a back-end into can/channel.* or can/interfaces.* that" \
       "can/backend.h does not name"
  failures=$((failures + unnamed_uses))
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures violation(s): includes pointing upward, or back-end calls upward"
  exit 1
fi
echo "layers: no include points upward (can/ inside included); back-ends call upward only what"
echo "can/backend.h names: $named_uses use(s), 0 others"
