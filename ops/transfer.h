// The transfer state that every operation resets before use, and the console pieces the operations
// share: the separator line, the progress line, the image report and the 37-frame unit page.
#pragma once

#include <cstdint>

// Module-level transfer state (one operation runs per process).
extern int32_t block_count;        // pages to move
extern int32_t block_counter;      // pages done
extern uint32_t page_address;      // address of the current page
extern int32_t byte_index;         // next image byte; runs on from page to page
extern int32_t page_index;         // byte slots of the current page used so far
extern uint8_t frame_sequence;     // byte 0 of the next data frame
extern uint32_t page_checksum;     // 32-bit sum of the page's bytes, fillers excluded
extern int32_t progress;           // per mille
extern int32_t last_progress;      // last printed per mille, -1 before the first line
extern uint8_t current_frame[8];   // the data frame being built or received

// Resets every field: counters 0, last printed progress -1, frame cleared.
void transfer_reset();
// Starts a page: checksum, index within the page and sequence counter to `first_sequence`/0.
void transfer_start_page(uint8_t first_sequence);

// Every way out of an operation closes the log: log_close, then `result`.
int32_t operation_failed(int32_t result);

// The start of both flashing operations: the separator, the start message with `path` and the
// HEX file opened. 0 ("IHex init ok\n"), or -3 ("IHex init error '%s'\n").
int32_t open_hex_file(const char* path);

// The start of both parameter operations: production test mode (which opens the channel), then
// the transfer state reset for the 208 pages and "Block count %d\n". 0, or the negative result of
// enter_production_test_mode after "Production test mode initialization error %d\n".
int32_t start_parameter_pages();

// "-------------------------------------------------------------\n" (61 dashes).
void print_separator();

// Progress p = (int)(done * 1000 / total + 0.5) in single precision, at most 1000; prints
// "%.01f%%\n" with p / 10 when p differs from the last printed value.
void print_progress(int32_t done, int32_t total);

// Sum of image[0] .. image[end - 1] (0 when end <= 0).
uint32_t image_sum(const uint8_t* image, int32_t end);

// The two 16-row dumps of an image: its first 256 bytes and the 256 bytes of block
// `block_count` - 1, each followed by the separator line.
void print_image_dump(const uint8_t* image, int32_t blocks);

// Sends one 256-byte page of `image` from byte_index as 37 data frames (sequence 0 to 36, seven
// bytes each, the last carrying four and three zero fillers), adding the bytes to page_checksum.
// 0, or the failing dl_send_data result.
int32_t send_unit_page(const uint8_t* image);
