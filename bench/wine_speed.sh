#!/usr/bin/env bash
# A 200-page application flash through the fake PCAN-Basic library with the emulated unit behind
# it (250 kbit/s in real time), on Linux (libpcanbasic.so) and under wine (the Windows build with
# PCANBasic.dll beside it), each run three times. Compares the wall times, and the span from the
# first frame to the last in each run's frame trace (--trace), which leaves out wine's start-up.
# Usage: bench/wine_speed.sh [LINUX_BUILD_DIR] [WINDOWS_BUILD_DIR]   (about a minute; needs wine
# and the mingw-w64 cross-compiler)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
linux="$(realpath -m "${1:-$root/build-bench-linux}")"
windows="$(realpath -m "${2:-$root/build-bench-win}")"
cmake -S "$root" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$linux" --target ralvex-service-tool fake_pcan_basic >/dev/null
cmake -S "$root" -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DRALVEX_TESTS=ON >/dev/null
cmake --build "$windows" --target ralvex-service-tool fake_pcan_basic_dll >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"; wineserver -k 2>/dev/null || true' EXIT
cd "$work"
head -c $((200 * 256 - 1)) /dev/urandom > image.bin
objcopy -I binary -O ihex --change-addresses 0x70020000 image.bin image.hex
cp "$windows/ralvex-service-tool.exe" "$windows/tests/windows/fakes/PCANBasic.dll" .
export WINEPREFIX="$windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p 2>/dev/null || true  # kept running, so that only the first run pays for it
wine cmd /c exit 0 >/dev/null 2>&1 || true

# span TRACE: seconds from the first frame to the last.
span() { awk 'NR == 1 { gsub(/[()]/, "", $1); first = $1 } { gsub(/[()]/, "", $1); last = $1 }
              END { printf "%.3f", last - first }' "$1"; }
# run NAME COMMAND...: three runs; prints wall and trace span of each, and their medians.
run() {
  local name="$1"
  shift
  local walls=() spans=()
  for i in 1 2 3; do
    rm -f trace.log
    local start end
    start="$(date +%s%N)"
    RALVEX_FAKE_PCAN=bus=1 "$@" --trace trace.log -f image.hex 0 > console.txt 2>/dev/null
    end="$(date +%s%N)"
    tr -d '\r' < console.txt | grep -q "Flashing completed" || { echo "$name: flash failed"; exit 1; }
    walls+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')")
    spans+=("$(span trace.log)")
  done
  echo "$name: wall ${walls[*]} s; first to last frame ${spans[*]} s"
  printf '%s\n' "${walls[@]}" | sort -n | sed -n 2p > "$name.wall"
  printf '%s\n' "${spans[@]}" | sort -n | sed -n 2p > "$name.span"
}

LD_LIBRARY_PATH="$linux/tests/fakes" run linux "$linux/ralvex-service-tool"
run wine wine ralvex-service-tool.exe
awk -v lw="$(cat linux.wall)" -v ww="$(cat wine.wall)" -v ls="$(cat linux.span)" \
    -v ws="$(cat wine.span)" 'BEGIN {
  printf "medians: wall Linux %.3f s, wine %.3f s (%+.1f%%); first to last frame Linux %.3f s, ", lw, ww, 100 * (ww - lw) / lw, ls;
  printf "wine %.3f s (%+.1f%%)\n", ws, 100 * (ws - ls) / ls;
}'
