#!/usr/bin/env bash
# Counts the mutable variables of static storage (file scope and function-local statics) in the
# tool's libraries (one per layer), per top-level directory, from the object files of a build:
# every object in a writable data section (.data, .bss and their thread-local and relocated
# kinds), leaving out read-only data with relocations (.data.rel.ro), the compiler's guard
# variables and its personality references. Constants never count, however they are spelled.
# Usage: scripts/count-state.sh [BUILD_DIR] [-v]   (BUILD_DIR: build; -v lists the variables)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
verbose="${2:-}"
layers="app can ihex log ops platform protocol sim"
for area in $layers; do
  [ -d "$dir/CMakeFiles/ralvex_$area.dir" ] && [ -f "$dir/libralvex_$area.a" ] ||
    { echo "no library ralvex_$area in $dir: build first" >&2; exit 1; }
done
total=0
for area in $layers; do
  objects="$dir/CMakeFiles/ralvex_$area.dir"
  # Objects of sources that left the tree stay in the build directory: only the archive's count.
  members=$(ar t "$dir/libralvex_$area.a")
  list=$(find "$objects" -name '*.o' | sort | while read -r object; do
      if grep -qxF "$(basename "$object")" <<<"$members"; then printf '%s\0' "$object"; fi
    done | xargs -0 -r objdump -t |
    awk '$0 ~ / O / {
           section = ""; for (i = 1; i <= NF; ++i) if ($i ~ /^\./) { section = $i; break }
           if (section !~ /^\.(bss|data|tbss|tdata)(\.|$)/) next
           if (section ~ /^\.data\.rel\.ro/ || $NF ~ /^(_ZGV|DW\.ref)/) next
           print $NF }' | c++filt)
  count=$(printf '%s' "$list" | grep -c . || true)
  total=$((total + count))
  printf '%-10s %3d\n' "$area" "$count"
  if [ "$verbose" = "-v" ] && [ -n "$list" ]; then printf '%s\n' "$list" | sed 's/^/    /'; fi
done
printf '%-10s %3d\n' total "$total"
