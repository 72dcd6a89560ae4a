#!/usr/bin/env bash
# Runs ralvex-service-tool once per adapter, side by side, from the current folder: each run with
# a log, a report and tags of its own. Waits for all of them, then prints one line per unit from
# the reports.
#
# Usage: bash station.sh JOB... -- INTERFACE SERIAL [INTERFACE SERIAL]...
#   bash station.sh -f app.hex -- can0 A-1001 can1 A-1002 pcan@0x1 A-1003 kvaser@10001 A-1004
# Each run writes run-<interface>.log, run-<interface>.json (its report) and
# run-<interface>.txt (its console), the interface's ':' and '@' written as '-'; its report
# carries the tags serial=<SERIAL>, station=<this host> and operator=<this user>.
# RALVEX_TOOL names another executable than ralvex-service-tool on PATH.
# Exit status: 0 when every run succeeded, 1 when one did not, 2 for a wrong command line.
set -u
tool="${RALVEX_TOOL:-ralvex-service-tool}"
job=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  job+=("$1")
  shift
done
[ $# -gt 0 ] && shift
if [ ${#job[@]} -eq 0 ] || [ $# -eq 0 ] || [ $(($# % 2)) -ne 0 ]; then
  echo "usage: bash station.sh JOB... -- INTERFACE SERIAL [INTERFACE SERIAL]..." >&2
  exit 2
fi

station="$(hostname 2>/dev/null || echo unknown)"
names=()
interfaces=()
serials=()
pids=()
while [ $# -gt 0 ]; do
  interface="$1"
  serial="$2"
  shift 2
  name="run-$(tr ':@' '--' <<<"$interface")"
  # The job goes last: a logging level, if it has one, must be the last argument.
  "$tool" -i "$interface" --log "$name.log" --report "$name.json" --tag "serial=$serial" \
    --tag "station=$station" --tag "operator=${USER:-unknown}" "${job[@]}" >"$name.txt" 2>&1 &
  pids+=($!)
  names+=("$name")
  interfaces+=("$interface")
  serials+=("$serial")
done

failed=0
printf '%-16s %-14s %-6s %s\n' interface serial result message
for i in "${!pids[@]}"; do
  wait "${pids[$i]}"
  status=$?
  # The report's message: the line that named why the run failed (null on success).
  message="$(sed -n 's/^ *"message": "\(.*\)",\{0,1\}$/\1/p' "${names[$i]}.json" 2>/dev/null |
    head -n 1)"
  if [ "$status" -eq 0 ]; then
    result=pass
  else
    result=FAIL
    failed=1
    [ -n "$message" ] || message="no report: see ${names[$i]}.txt"
    message="(exit $status) $message"
  fi
  printf '%-16s %-14s %-6s %s\n' "${interfaces[$i]}" "${serials[$i]}" "$result" "$message"
done
exit "$failed"
