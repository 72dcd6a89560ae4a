#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UBSan, then runs each target
# for a fixed number of runs over its seed corpus in fuzz/corpus/<target>/ (left unchanged: new
# inputs go to a temporary directory). Exits non-zero when a target finds a fault; the input that
# caused it is kept in the build directory.
# Usage: fuzz/run.sh [build-dir]   (RUNS=n overrides the number of runs per target)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
runs=${RUNS:-20000}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRALVEX_FUZZ=ON -DRALVEX_SANITIZE=ON -DRALVEX_TESTS=OFF >/dev/null
cmake --build "$build"
# The targets change into a temporary directory of their own: give them absolute paths.
build=$(realpath "$build")

for corpus in "$PWD"/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  work=$(mktemp -d)
  echo "== $target: $runs runs"
  status=0
  "$build/fuzz/$target" -runs="$runs" -seed=1 -max_len=4096 -timeout=10 \
    -artifact_prefix="$build/$target-" "$work" "$corpus" || status=$?
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$target found a fault (exit status $status)" >&2
    exit 1
  fi
done
echo "fuzzing clean"
