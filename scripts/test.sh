#!/usr/bin/env bash
# Builds the tool and its tests and runs them all.
# Usage: scripts/test.sh [BUILD_DIR [extra cmake options...]]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" -G Ninja -DRALVEX_WERROR=ON "$@" >/dev/null
cmake --build "$dir"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure --timeout 300
