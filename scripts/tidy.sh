#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy (every finding an error) over the product sources: the
# layers' libraries and the executables, not the tests. Reads the compile_commands.json of a build
# of the tool, configured here (nothing needs to be built).
# Usage: scripts/tidy.sh [BUILD_DIR]   (BUILD_DIR: build-tidy)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-tidy}"
cmake -S . -B "$dir" -G Ninja -DRALVEX_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
sources=$(python3 - "$dir/compile_commands.json" "$PWD" <<'PY'
import json, os, sys
root = sys.argv[2]
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.split(os.sep)[0] in ("app", "can", "ihex", "log", "ops", "platform", "protocol", "sim"):
        seen.add(path)
print("\n".join(sorted(seen)))
PY
)
[ -n "$sources" ] || { echo "no product sources in $dir/compile_commands.json" >&2; exit 1; }
count=$(grep -c . <<<"$sources")
# Each run's count of the (suppressed) warnings in system headers is left out.
status=0
xargs -P "$(nproc)" -n 4 clang-tidy -p "$dir" --quiet <<<"$sources" 2>&1 |
  { grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' || true; } || status=$?
if [ "$status" -ne 0 ]; then
  echo "clang-tidy: findings in the product sources (see above)" >&2
  exit 1
fi
echo "clang-tidy: $count product sources, no findings"
