#!/usr/bin/env bash
# Flashes a 256 KiB image into emulated sensor node 5 (-g 5) on the emulated bus, which runs at
# 250 kbit/s in real time, and compares the wall time with the time the bus needs plus the fixed
# waits of the emulated node and of the tool:
#   bus: per 900-byte page DL_DOWNLOAD, 150 data frames, DL_FLASH_COMMAND and its answer (153
#   frames of 131 bits); the node's fixed waits: it is switched on 1 s after the bus opened, its
#   erase takes 0.5 s and each page's write 2 ms; the tool's: 0.5 s before DL_END_OF_DOWNLOAD.
# Usage: bench/sensor_speed.sh [BUILD_DIR]   (takes about half a minute; needs srec_cat)
# shellcheck source=bench/release_tool.sh
source "$(dirname "$0")/release_tool.sh"
head -c 262144 /dev/urandom > image.bin
srec_cat image.bin -binary -offset 0x20000 -o image.hex -intel -address-length=3

TIMEFORMAT='%R %U %S'
status=0
{ time "$build/ralvex-service-tool" -i sim -f image.hex -g 5 0 > console.txt; } 2> times.txt ||
  status=$?
read -r wall user sys < times.txt
tail -n 3 console.txt | head -n 1
awk -v wall="$wall" -v user="$user" -v sys="$sys" -v status="$status" 'BEGIN {
  pages = int((262144 + 899) / 900);
  bus = pages * 153 * 131 / 250000.0;
  node = 1.0 + 0.5 + pages * 0.002;
  tool = 0.5;
  floor = bus + node + tool;
  printf "exit status %d, %d pages\n", status, pages;
  printf "bus %.2f s + the node'\''s fixed waits %.2f s + the tool'\''s %.2f s = %.2f s\n", bus,
         node, tool, floor;
  printf "wall %.2f s: %.3f x\n", wall, wall / floor;
  printf "CPU %.2f s (user %.2f, system %.2f): %.2f%% of the wall time\n", user + sys, user, sys,
         100 * (user + sys) / wall;
}'
