# Sourced by the scripts that run in the VMs, from their folder once they have set $out: $here is
# that folder, $out is emptied, fail MESSAGE counts a failure and finish TITLE ends the script with
# the count; start_sim NAME INTERFACE ARGS... runs ralvex-sim-unit on INTERFACE until stop_sim.
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
sim_pid=""
start_sim() {
  local name="$1" interface="$2"
  shift 2
  "$here/ralvex-sim-unit" "$interface" "$@" >"$out/$name.sim.txt" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 200); do
    grep -q "emulated Ralvex unit" "$out/$name.sim.txt" && return 0
    sleep 0.05
  done
  fail "$name: ralvex-sim-unit did not start"
  return 1
}
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=""
}
