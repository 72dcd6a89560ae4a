// The frame trace of one run (`--trace FILE`): every frame the channel sends or reads, one line
// each in the can-utils log format with python-can's direction mark, written and flushed as the
// run goes, so that a run that dies keeps every line before it.
// Call order: frame_trace_open, frame_trace_set_interface (when the channel opens), any number of
// frame_trace_frame, frame_trace_close. Without frame_trace_open every call does nothing.
// Example: "(0.001048) sim 00A44401#0B00000000000000 R" - 1.048 ms after the trace began, the
// interface `-i sim`, a received extended frame; "T" marks a frame the tool sent.
#pragma once

#include <cstdint>

// Creates (or empties) `path`; the timestamps count from now. 0, or -1 when it cannot be created.
int32_t frame_trace_open(const char* path);
// The interface name of the lines that follow, as can-utils spells interfaces ("can0", "pcan2").
void frame_trace_set_interface(const char* name);
// One line: `transmitted` gives " T", otherwise " R". A 29-bit identifier is written with 8 hex
// digits, an 11-bit one with 3; a data frame with its `length` bytes ("00000401#1122"), a remote
// frame as "ID#R" followed by the length it asks for unless that is 0 ("00A44401#R", "123#R2").
void frame_trace_frame(bool transmitted, uint32_t id, bool extended, bool remote,
                       const uint8_t data[8], uint8_t length);
// Closes the file (every line is on disk already). 0, or -1 when a line could not be written or
// the file not closed: the trace is then incomplete and the run must not end as a success.
int32_t frame_trace_close();
