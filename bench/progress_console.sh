#!/usr/bin/env bash
# A 2048-page application flash on the emulated bus in real time, as a person at a terminal and a
# program reading its events see it: the tool runs in a pseudo-terminal (util-linux script) with
# --events into a named pipe that a Python reader follows while the run goes on. Prints the lines
# the terminal got (and how many of them were percent lines), the last status line, and what the
# reader got: the events by kind, progress events per second of transfer, the longest gap between
# two of them, whether their pages ever went back, and how long after its time an event arrived.
# Usage: bench/progress_console.sh [BUILD_DIR]   (takes about a minute)
# shellcheck source=bench/release_tool.sh
source "$(dirname "$0")/release_tool.sh"
head -c 524287 /dev/urandom > image.bin
objcopy -I binary -O ihex --change-addresses 0x70020000 image.bin image.hex
mkfifo ev.fifo

python3 "$root/tests/support/events_reader.py" ev.fifo > events.txt &
reader=$!
status=0
TERM=xterm script -qec "$build/ralvex-service-tool -i sim -f image.hex --events ev.fifo 0" \
  /dev/null > terminal.txt || status=$?
wait "$reader"

lines=$(grep -c '' terminal.txt || true)
percent=$(tr -d '\r' < terminal.txt | grep -cE '^[0-9]{1,3}\.[0-9]%$' || true)
echo "exit status $status"
echo "terminal: $lines lines, $percent of them percent lines"
echo "last status line: $(tr '\r' '\n' < terminal.txt | grep ' left' | tail -n 1)"
python3 - events.txt <<'PY'
import collections, json, sys
arrivals, events = [], []
for line in open(sys.argv[1], encoding="utf-8"):
    arrival, text = line.split(" ", 1)
    arrivals.append(float(arrival))
    events.append(json.loads(text))
kinds = collections.Counter(e["event"] for e in events)
print("events:", len(events), dict(kinds), "first", events[0]["event"], "last", events[-1]["event"],
      "exit status", events[-1]["result"]["exit_status"])
phase = {e["phase"]: e["time_s"] for e in events if e["event"] == "phase"}
progress = [e for e in events if e["event"] == "progress"]
transfer = phase["end"] - phase["transfer"]
gaps = [b["time_s"] - a["time_s"] for a, b in zip(progress, progress[1:])]
back = any(b["pages_done"] < a["pages_done"] for a, b in zip(progress, progress[1:]))
print("progress: %d in %.1f s of transfer (%.2f a second), gaps %.3f to %.3f s, pages went back: %s"
      % (len(progress), transfer, len(progress) / transfer, min(gaps), max(gaps), back))
# The reader's clock starts when it opened the pipe, the tool's at its start (before it waited for
# the reader): events read live arrive at one offset from their times, whatever their time.
lags = [a - e["time_s"] for a, e in zip(arrivals[1:], events[1:])]
print("arrival less the event's time, after start: %.3f to %.3f s" % (min(lags), max(lags)))
PY
