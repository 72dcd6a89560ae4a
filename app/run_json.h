// The record of a run in JSON, one piece at a time: the pieces that both the run report
// (app/run_report.cpp, at the end) and the events (app/run_events.cpp, as the run goes) carry,
// built by the same code from the same values: the settings, ops/run_record.h, and the channel's
// can_opened_name. nlohmann-json (header-only); only app/'s two writers include this header.
// Example: run_json_result(-4, "No answer DL_START_LOADING") after a silent unit gives
// {"exit_status":-4,"shell_status":252,"success":false,"message":"No answer DL_START_LOADING",
// "failed_phase":"start"}.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ops/run_record.h"
#include "ops/run_settings.h"

using RunJson = nlohmann::ordered_json;

// {"name": "ralvex-service-tool", "version": "0.7.0"}
RunJson run_json_tool();
// The command line after the program name.
RunJson run_json_arguments(const std::vector<std::string>& arguments);
// What the station said of the run (--tag): {"serial": "A-77", "station": "2"}; {} without any.
RunJson run_json_tags(const RunSettings* settings);
// The operation and its options; {"name": "none", "run_mode": 0} without settings.
RunJson run_json_operation(const RunSettings* settings);
// The `-i` value (`requested`, null for "") and the interface opened (null fields before one is).
RunJson run_json_interface(const char* requested);
// Pages done of all, their bytes and the rate (bytes per second, to a tenth).
RunJson run_json_progress(const RunProgress& progress);
// The exit status (and as a shell sees it), success, the message (null on success) and the phase
// the run record was in when it failed.
RunJson run_json_result(int32_t status, const std::string& message);
// "started_utc" text for a wall-clock time: "2024-05-02T09:14:03.120Z".
std::string run_json_utc(int64_t unix_ms);
// Microseconds as seconds.
double run_json_seconds(uint64_t us);

// The text of `value`: indented by `indent` spaces, or on one line for -1. Bytes that are not
// UTF-8 (a file name) are replaced, never thrown about.
std::string run_json_text(const RunJson& value, int indent);
