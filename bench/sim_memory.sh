#!/usr/bin/env bash
# The tool's peak resident memory on `-i sim`: the demo application, then the largest image the
# unit takes (0x3DF000 bytes from 0x70020000, 15856 pages) in real time, against a limit of 8 MiB.
# Usage: bench/sim_memory.sh [BUILD_DIR]   (the largest image takes about six minutes)
# shellcheck source=bench/release_tool.sh
source "$(dirname "$0")/release_tool.sh"
head -c $((0x3DF000)) /dev/urandom > largest.bin
objcopy -I binary -O ihex --change-addresses 0x70020000 largest.bin largest.hex

peak() {  # peak KiB of the tool flashing $1
  /usr/bin/time -f '%M' -o rss.txt "$build/ralvex-service-tool" -i sim -f "$1" 0 > console.txt
  grep -q '^Flashing completed$' console.txt || { echo "flashing $1 failed" >&2; exit 1; }
  cat rss.txt
}
demo="$(peak "$root/examples/demo-app.hex")"
largest="$(peak largest.hex)"
awk -v demo="$demo" -v largest="$largest" 'BEGIN {
  printf "demo application: %.1f MiB resident at most\n", demo / 1024;
  printf "largest image (15856 pages): %.1f MiB resident at most (limit 8 MiB): %s\n",
         largest / 1024, largest < 8192 ? "under" : "OVER";
  exit largest < 8192 ? 0 : 1;
}'
