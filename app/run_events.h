// The events of one run (`--events FILE`): JSON Lines, one object per line, each written whole and
// flushed at once, so that a program reading FILE (a named pipe too) follows the run as it goes:
// "start", "opened", "phase", "progress", "problem", "end". Every object begins with "event" and
// "time_s" (seconds since the start of the run). What the run report also carries comes from the
// same values through the same code (app/run_json.h): the events are the record as it grows, the
// report the record at the end. The events are listed in the README ("Events").
// Call order: run_events_begin before the command line is read (problem lines printed from then
// on are kept until the file opens), run_events_open when FILE was given, run_events_end once
// (also when none was: it stops listening).
// Example: {"event":"progress","time_s":12.503,"pages_done":512,"pages":2048,"bytes":131072,
// "bytes_per_s":11213.6}
#pragma once

#include <cstdint>
#include <string>

#include "ops/run_settings.h"

// Listens from now on to the console's problem lines; `start_us` (now_us) is time 0.
void run_events_begin(uint64_t start_us);
// Creates or empties FILE (opening a named pipe waits for its reader) and writes "start" (the
// tool, the arguments, the operation, the requested interface) and the problem lines kept; from
// then on the record's phases and progress, the opened interface and every problem line follow.
// 0, or -1 when FILE cannot be opened (nothing is written, nothing more is listened to).
int32_t run_events_open(const char* path, const RunSettings& settings);
// Writes the progress not written yet and "end" with the run's result, closes FILE and stops
// listening.
void run_events_end(int32_t status, const std::string& message);
// Whether an event could not be written (a full disk, a reader that went away); the events
// stopped there and FILE does not hold the whole run.
bool run_events_failed();
