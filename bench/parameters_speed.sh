#!/usr/bin/env bash
# Backs up the emulated unit's whole parameter area (208 pages) on the emulated bus, which runs at
# 250 kbit/s in real time, then restores a file of random bytes, and compares each wall time with
# the time the bus alone needs, and the tool's CPU time with its wall time.
# Backup: per page the command, its answer, 37 data frames and the checksum frame: 40 frames.
# Restore: per page the start and its answer, 37 data frames, the finish and its answer: 41
# frames; and 13 sector erases with their answers. Every frame is 131 bits.
# Usage: bench/parameters_speed.sh [BUILD_DIR]   (takes about 15 seconds)
# shellcheck source=bench/release_tool.sh
source "$(dirname "$0")/release_tool.sh"
head -c 53248 /dev/urandom > restore.bin

TIMEFORMAT='%R %U %S'
# run NAME FRAMES ARGS...: runs the tool once and prints its line of the report.
run() {
  local name="$1" frames="$2"
  shift 2
  local status=0
  { time "$build/ralvex-service-tool" -i sim "$@" 0 > console.txt; } 2> times.txt || status=$?
  read -r wall user sys < times.txt
  tail -n 2 console.txt | head -n 1
  awk -v name="$name" -v frames="$frames" -v wall="$wall" -v user="$user" -v sys="$sys" \
      -v status="$status" 'BEGIN {
    bus = frames * 131 / 250000.0;
    printf "%s: exit status %d, %d frames\n", name, status, frames;
    printf "  bus-limited minimum %.2f s, wall %.2f s: %.3f x\n", bus, wall, wall / bus;
    printf "  CPU %.3f s (user %.3f, system %.3f): %.2f%% of the wall time\n", user + sys, user,
           sys, 100 * (user + sys) / wall;
  }'
}

run "backup (-r)" $((208 * 40)) -r backup.bin
[ "$(stat -c %s backup.bin)" -eq 53248 ] || { echo "backup file is not 53248 bytes"; exit 1; }
run "restore (-w)" $((208 * 41 + 13 * 2)) -w restore.bin
