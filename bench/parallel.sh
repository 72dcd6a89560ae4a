#!/usr/bin/env bash
# Four application flashes of 512 KiB (2048 pages) on -i sim side by side from one folder, each
# with its own log, against one alone: a station runs one process per adapter, and none may slow
# the others down (each within 1.05 times the time of one alone).
# Usage: bench/parallel.sh [BUILD_DIR]   (takes about two minutes)
# shellcheck source=bench/release_tool.sh
source "$(dirname "$0")/release_tool.sh"
head -c 524287 /dev/urandom > image.bin
objcopy -I binary -O ihex --change-addresses 0x70020000 image.bin image.hex

# run NAME: one flash with its own log; its wall time in seconds in NAME.time.
run() {
  local start end
  start="$(date +%s%N)"
  "$build/ralvex-service-tool" -i sim --log "$1.log" -f image.hex 0 > "$1.txt"
  end="$(date +%s%N)"
  grep -qx 'Flashing completed' "$1.txt" || { echo "$1: flashing failed" >&2; exit 1; }
  echo "scale=3; ($end - $start) / 1000000000" | bc > "$1.time"
}

run alone
for n in 1 2 3 4; do run "side$n" & done
wait
alone="$(cat alone.time)"
worst=0
for n in 1 2 3 4; do
  t="$(cat "side$n.time")"
  ratio="$(echo "scale=4; $t / $alone" | bc)"
  printf 'side by side %d: %.2f s, %.3f x one alone (%.2f s)\n' "$n" "$t" "$ratio" "$alone"
  if [ "$(echo "$ratio > $worst" | bc)" -eq 1 ]; then worst="$ratio"; fi
done
printf 'slowest: %.3f x (limit 1.05 x): %s\n' "$worst" \
  "$([ "$(echo "$worst <= 1.05" | bc)" -eq 1 ] && echo within || echo OVER)"
[ "$(echo "$worst <= 1.05" | bc)" -eq 1 ]
