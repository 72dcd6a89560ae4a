# shellcheck shell=bash
# Sourced by the benchmarks that time the tool itself: builds it for release in BUILD_DIR (the
# script's first argument, build-release by default) and leaves the script in a scratch folder
# that goes when it ends. Sets root, build and work.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${1:-$root/build-release}")"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRALVEX_TESTS=OFF >/dev/null
cmake --build "$build" --target ralvex-service-tool >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
