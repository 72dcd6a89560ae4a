#!/usr/bin/env bash
# Checks the Debian package as a user meets it: lintian finds no errors; dpkg -i installs it; the
# installed tool flashes the installed example on the emulated bus (-i sim) in a scratch
# directory; the installed emulator answers --help; man finds both pages, which render without
# warnings; dpkg -r removes every file the package installed.
# Usage (as root, on a machine where the package is not installed otherwise):
#   tests/package/deb_check.sh ralvex-service-tool_<version>_amd64.deb
set -euo pipefail
deb="$(realpath "${1:?usage: deb_check.sh PACKAGE.deb}")"
package=ralvex-service-tool
doc=/usr/share/doc/$package
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

echo "== lintian $(basename "$deb")"
# lintian warns when run as root; that line is not about the package.
set +e
lintian --fail-on error "$deb" 2> >(grep -v 'running with root privileges' >&2)
status=$?
set -e
[ "$status" -eq 0 ] || fail "lintian found errors (exit status $status)"

echo "== dpkg -i"
dpkg -i "$deb"
dpkg-query -L "$package" >"$scratch/files.txt"
echo "  $(wc -l <"$scratch/files.txt") paths:"
sed 's/^/    /' "$scratch/files.txt"

echo "== the installed tool on -i sim"
tool="$(command -v ralvex-service-tool || true)"
[ "$tool" = /usr/bin/ralvex-service-tool ] || fail "ralvex-service-tool on PATH is '$tool'"
mkdir "$scratch/run"
set +e
(cd "$scratch/run" && ralvex-service-tool -i sim -f "$doc/examples/demo-app.hex" 4 >console.txt)
status=$?
set -e
tail -n 4 "$scratch/run/console.txt" | sed 's/^/  | /'
echo "  exit status $status"
[ "$status" -eq 0 ] || fail "ralvex-service-tool -i sim -f demo-app.hex: exit status $status"
grep -qx 'Flashing completed' "$scratch/run/console.txt" || fail "no 'Flashing completed'"
[ -s "$scratch/run/ZR4_BL_Log.txt" ] || fail "no ZR4_BL_Log.txt in the working directory"
ralvex-sim-unit --help >/dev/null || fail "ralvex-sim-unit --help: exit status $?"

echo "== man"
for page in ralvex-service-tool ralvex-sim-unit; do
  if path="$(man -w "$page")"; then
    echo "  man -w $page: $path"
    warnings="$(zcat -f "$path" | groff -ww -z -man 2>&1)"
    [ -z "$warnings" ] || fail "$page(1) renders with warnings: $warnings"
    MANWIDTH=80 man "$page" >"$scratch/$page.txt" 2>&1 || fail "man $page: exit status $?"
    grep -q '^EXIT STATUS' "$scratch/$page.txt" || fail "$page(1) shows no EXIT STATUS"
  else
    fail "man -w $page finds no page (does /etc/dpkg/dpkg.cfg.d exclude /usr/share/man?)"
  fi
done

echo "== dpkg -r"
dpkg -r "$package"
status="$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || echo not-installed)"
[ "$status" = not-installed ] || fail "after dpkg -r the package is '$status'"
# Every path the package listed is gone, but for directories that other packages own too.
left=0
while read -r path; do
  [ "$path" = "/." ] && continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  if [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; then continue; fi
  fail "left behind: $path"
  left=$((left + 1))
done <"$scratch/files.txt"
echo "  $left of $(wc -l <"$scratch/files.txt") paths left behind (shared directories aside)"

if [ "$failures" -ne 0 ]; then
  echo "== Debian package check: $failures failures"
  exit 1
fi
echo "== Debian package check: all passed"
