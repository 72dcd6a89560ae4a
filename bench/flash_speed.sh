#!/usr/bin/env bash
# Flashes an image of 2048 pages (512 KiB less one byte) into the emulated unit on the emulated
# bus, which runs at 250 kbit/s in real time, and compares the wall time with the time the bus
# alone needs (40 frames of 131 bits per page), and the tool's CPU time with its wall time.
# Usage: bench/flash_speed.sh [BUILD_DIR]   (takes about a minute)
# shellcheck source=bench/release_tool.sh
source "$(dirname "$0")/release_tool.sh"
head -c 524287 /dev/urandom > image.bin
objcopy -I binary -O ihex --change-addresses 0x70020000 image.bin image.hex

TIMEFORMAT='%R %U %S'
{ time "$build/ralvex-service-tool" -i sim -f image.hex 0 > console.txt; } 2> times.txt
status=$?
read -r wall user sys < times.txt
tail -n 3 console.txt
awk -v wall="$wall" -v user="$user" -v sys="$sys" -v status="$status" 'BEGIN {
  pages = 2048; bus = pages * 40 * 131 / 250000.0;
  printf "exit status %d\n", status;
  printf "bus-limited minimum %.1f s, wall %.1f s: %.3f x\n", bus, wall, wall / bus;
  printf "CPU %.2f s (user %.2f, system %.2f): %.2f%% of the wall time\n", user + sys, user, sys,
         100 * (user + sys) / wall;
}'
