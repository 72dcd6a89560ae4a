// What an operation tells about its run for the run report (`--report`) and the events
// (`--events`): the time spent in each phase, the image it moved, the pages done so far and, for a
// verified restore, the comparison. The operations call the setters as they go; app/ resets the
// record before the run, hears of each phase and progress as it is recorded (run_record_listen),
// and reads the record afterwards. Nothing here changes what an operation prints or sends.
// Call order: run_record_reset, run_record_listen, run_record_phase at each phase change (the next
// phase ends the one before), run_record_image / run_record_progress / run_record_verify when
// known, run_record_end once at the end.
// Example: a flash that fails in its erase leaves open and start timed, erase timed up to the end,
// and failed_phase RUN_PHASE_ERASE.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

enum RunPhase : int32_t {
  RUN_PHASE_OPEN = 0,   // the input file read (and a HEX file loaded) or the output file created
  RUN_PHASE_START,      // the channel opened and the bootloader or production test mode entered
  RUN_PHASE_ERASE,      // the application erased (a restore erases sector by sector in transfer)
  RUN_PHASE_TRANSFER,   // the pages
  RUN_PHASE_END,        // end of download, or the backup file written
  RUN_PHASE_VERIFY,     // a restore read back (--verify)
  RUN_PHASE_COUNT,
};

// What an operation moved.
struct RunImage {
  int32_t extent = 0;      // bytes of the image (an application's end, a sensor's highest index)
  uint32_t data_sum = 0;   // the HEX file's data bytes as read (the parameter area's sum)
  uint32_t image_sum = 0;  // the image's bytes as the console's checksum line sums them
  int32_t pages = 0;       // pages to move
};

// A restore's read-back compared with its file.
struct RunVerify {
  int32_t differing_bytes = 0;
  int32_t first_difference = -1;  // offset, -1 when all bytes match
  uint8_t file_byte = 0;          // the bytes at first_difference
  uint8_t unit_byte = 0;
};

// A page that the device answered with a non-zero status, taken as written under -b.
struct RunPageStatus {
  uint32_t address;  // the page's first image address
  uint32_t status;   // bytes 4-7 of the answer, least significant first
};

// The pages of the page loop done so far.
struct RunProgress {
  int32_t pages_done = 0;
  int32_t pages = 0;
  uint64_t bytes = 0;       // of the pages done, as the pages carry them on the bus
  uint64_t bytes_all = 0;   // of all pages
  uint64_t started_us = 0;  // now_us() when the loop counted its first page
  uint64_t at_us = 0;       // now_us() when pages_done was counted
};

// Bytes per second from the start of the loop to the last count; 0 before time has passed.
double run_progress_rate(const RunProgress& progress);
// Seconds left at that rate; -1 while the rate is unknown.
double run_progress_left_s(const RunProgress& progress);

struct RunRecord {
  bool phase_seen[RUN_PHASE_COUNT] = {};
  uint64_t phase_us[RUN_PHASE_COUNT] = {};
  int32_t phase = -1;        // the running (after run_record_end: the last) phase, -1 for none
  uint64_t phase_started_us = 0;
  std::optional<RunImage> image;    // once known
  std::optional<RunVerify> verify;  // once a read-back comparison was made
  std::optional<RunProgress> progress;  // once a page loop counted its first page
  std::vector<RunPageStatus> forced_pages;
};

void run_record_reset();
// Ends the running phase and starts `phase` (a phase entered twice adds up).
void run_record_phase(RunPhase phase);
// Ends the running phase; the record keeps which one it was.
void run_record_end();
void run_record_image(int32_t extent, uint32_t data_sum, uint32_t image_sum, int32_t pages);
void run_record_verify(int32_t differing_bytes, int32_t first_difference, uint8_t file_byte,
                       uint8_t unit_byte);
void run_record_forced_page(uint32_t address, uint32_t status);
// `pages_done` of `pages` pages of `page_bytes` bytes each are done (counted before each page and
// after the last). A count of 0 starts the loop's clock.
void run_record_progress(int32_t pages_done, int32_t pages, uint32_t page_bytes);

// What a listener hears of: a phase began, or the pages done were counted.
enum RunChange : int32_t { RUN_CHANGE_PHASE, RUN_CHANGE_PROGRESS };
using RunRecordListener = void (*)(RunChange change);
// Calls `listener` after each such change (nullptr: none), until run_record_reset.
void run_record_listen(RunRecordListener listener);
const RunRecord& run_record();
// "open", "start", "erase", "transfer", "end", "verify".
const char* run_phase_name(int32_t phase);
