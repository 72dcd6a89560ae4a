#!/usr/bin/env python3
"""Reads the events of a run from FILE (a named pipe) while the run goes on, and prints each line
as it arrives after the seconds since the reader opened FILE: "0.412310 {"event": ...}".
Usage: events_reader.py FILE"""
import sys
import time

start = time.monotonic()
with open(sys.argv[1], encoding="utf-8") as events:
    for line in events:
        print("%.6f %s" % (time.monotonic() - start, line), end="", flush=True)
