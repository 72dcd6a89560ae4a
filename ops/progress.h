// The progress of a page loop: counted into the run record before every page and after the last
// (the events and the report take it from there), and shown on the console as --progress says:
// the percent lines as each operation counts them (print_progress), one status line redrawn in
// place, or nothing; PROGRESS_AUTO shows the status line on a person's terminal and the percent
// lines elsewhere, so that a pipe or a file gets the same bytes as ever.
// Call order: progress_start, progress_page before every page, progress_done after the last.
// Example: a 2048-page flash on a terminal of 80 columns redraws
// "[####......]  45.2%  926/2048 pages  237 kB  12.1 kB/s  0:19 so far  0:24 left".
#pragma once

#include <cstdint>
#include <string>

#include "ops/run_record.h"
#include "ops/run_settings.h"

// The loop's progress as shown; the operation owns it.
struct Progress {
  ProgressMode mode = PROGRESS_LINES;  // never PROGRESS_AUTO
  int32_t pages = 0;
  uint32_t page_bytes = 0;
  int32_t last_line = -1;  // the value of the last percent line
  bool drawn = false;      // the status line was drawn
  uint64_t drawn_us = 0;   // when
};

// "auto", "lines", "bar", "none" (the --progress words); nullptr for another value.
const char* progress_mode_name(int32_t mode);

// A loop of `pages` pages of `page_bytes` bytes each begins: 0 pages done.
Progress progress_start(ProgressMode mode, int32_t pages, uint32_t page_bytes);
// Before page `done` (0 for the first): `done` pages are done. The percent line counts `line_done`
// of `line_total`, as the operation always counted it (a sensor flash by image index).
void progress_page(Progress* progress, int32_t done, int32_t line_done, int32_t line_total);
// After the last page: all pages are done (the status line shows them; no percent line follows).
void progress_done(Progress* progress);

// The status line of `progress` at `now_us` on a terminal `columns` wide (80 when 0): a bar when
// there is room for one, the percent and pages done of all, the bytes, the rate, the time so far
// and the time left, never wider than columns - 1 (a full row would wrap on some consoles).
std::string progress_status_text(const RunProgress& progress, uint64_t now_us, int32_t columns);
