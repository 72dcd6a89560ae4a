#!/usr/bin/env bash
# Times the sensor image loader against objcopy on the same HEX file, whole process against whole
# process: a random 0x3E0000-byte image written by objcopy as 16-byte records (about 11 MB of
# text), read back by `objcopy -I ihex -O binary` and by bench/ihex_load_bench at logging levels 0
# and 1, interleaved in one loop. Prints the median times and the two speed ratios.
# Usage: bench/ihex_speed.sh [build-dir]   (REPS=n sets the number of rounds, default 9)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
reps=${REPS:-9}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRALVEX_BENCH=ON -DRALVEX_TESTS=OFF \
  >/dev/null
cmake --build "$build" --target ihex_load_bench >/dev/null
loader=$(realpath "$build/bench/ihex_load_bench")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c $((0x3E0000)) /dev/urandom >image.bin
objcopy -I binary -O ihex image.bin image.hex

# Microseconds one command takes, from bash's own clock (no extra process inside the interval).
elapsed_us() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  echo $(( (${end/./} - ${start/./}) ))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

"$loader" image.hex 0 >/dev/null || { echo "the loader refused the file" >&2; exit 1; }
: >objcopy.times; : >level0.times; : >level1.times
for ((i = 0; i < reps; i++)); do
  elapsed_us objcopy -I ihex -O binary image.hex out.bin >>objcopy.times
  elapsed_us "$loader" image.hex 0 >>level0.times
  elapsed_us "$loader" image.hex 1 >>level1.times
done
cmp -s out.bin image.bin || { echo "objcopy read the file differently" >&2; exit 1; }

objcopy_us=$(median <objcopy.times)
level0_us=$(median <level0.times)
level1_us=$(median <level1.times)
size=$(stat -c %s image.hex)
awk -v o="$objcopy_us" -v l0="$level0_us" -v l1="$level1_us" -v n="$reps" -v size="$size" 'BEGIN {
  printf "HEX file: %d bytes, median of %d rounds\n", size, n
  printf "objcopy -I ihex -O binary: %8.1f ms\n", o / 1000
  printf "loader, logging level 0:   %8.1f ms   %.2fx faster than objcopy (goal 2.5x)\n",
         l0 / 1000, o / l0
  printf "loader, logging level 1:   %8.1f ms   %.2fx faster than objcopy (goal 1.5x)\n",
         l1 / 1000, o / l1
}'
