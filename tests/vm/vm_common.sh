# Sourced by the scripts that run in the VMs, from their folder once they have set $out: $here is
# that folder, $out is emptied, fail MESSAGE counts a failure and finish TITLE ends the script with
# the count.
here="$PWD"
rm -rf "$out"
mkdir -p "$out"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$1: $failures failures"
    exit 1
  fi
  echo "$1: all passed"
}
