// The pieces the operations share: the way out that closes the log, the start of both flashing
// and both parameter operations, the separator and progress lines and the image report. The
// transfer state (page counters, checksums) lives in each operation.
#pragma once

#include <cstdint>

// Every way out of an operation closes the log: log_close, then `result`. When a signal stopped the
// run, the adapter is closed first, "Interrupted by <SIGINT|SIGTERM>: <state>\n" goes to the
// console and the log (the state as operation_state last set it), and the result is 128 + the
// signal's number (130, 143), as shells report a process that a signal ended.
int32_t operation_failed(int32_t result);
// What the unit or node is left in should the run stop now, for the interruption line; each
// operation sets it as it goes. Example: "the unit's application is erased or incomplete: flash it
// again".
void operation_state(const char* state);
// The signal that asks the run to stop, 0 while none did; the page loops look before every page.
int operation_interrupted();
// A failed step of the page loop: "<step> failed: <result>\n" (not after a signal), then
// operation_failed(result).
// Example: step_failed("Send data", -3) prints "Send data failed: -3\n".
int32_t step_failed(const char* step, int32_t result);

// The start of both flashing operations: the separator, the start message with `path` and the
// HEX file opened. 0 ("IHex init ok\n"), or -3 ("IHex init error '%s'\n").
int32_t open_hex_file(const char* path);

// The start of both parameter operations: production test mode (which opens the channel), then
// "Block count %d\n" with the 208 pages. 0, or the negative result of enter_production_test_mode
// after "Production test mode initialization error %d\n".
int32_t start_parameter_pages();

// One parameter page read back as the backup reads it: start_page_backup for `address`, then its
// 37 data frames and its checksum frame into `page` (256 bytes). 0; the start_page_backup result
// ("Backup starting failed: %d\n"); the wait_for_frame result; -6 a frame out of sequence; -8 a
// checksum mismatch (each with its console line).
int32_t read_parameter_page(uint32_t address, uint8_t* page);

// "-------------------------------------------------------------\n" (61 dashes).
void print_separator();

// Progress p = (int)(done * 1000 / total + 0.5) in single precision, at most 1000; prints
// "%.01f%%\n" with p / 10 when p differs from *last_printed (-1 before the first line), and keeps
// p there.
void print_progress(int32_t* last_printed, int32_t done, int32_t total);

// Sum of image[0] .. image[end - 1] (0 when end <= 0).
uint32_t image_sum(const uint8_t* image, int32_t end);

// The report of a flashing image before its pages go out: "Checksum %d  (%d)\n" with the sum of
// image[0] .. image[image_end - 1] and image_end, "Block count %d\n" and the image dump.
// Returns the block count, image_end / 256 + 1.
int32_t print_image_report(const uint8_t* image, int32_t image_end);

// The two 16-row dumps of an image: its first 256 bytes and the 256 bytes of block
// `blocks` - 1, each followed by the separator line.
void print_image_dump(const uint8_t* image, int32_t blocks);
