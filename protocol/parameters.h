// The unit's parameter page service, on an open channel that delivers UNIT_LISTEN_IDS. A parameter
// operation calls enter_production_test_mode once and first, then per 256-byte page either start_page_backup and the
// frames the unit sends back (wait_for_frame: 37 data frames on 0xA84401, a checksum frame on
// 0xA44401), or erase_sector (before a 4 KiB sector's first page), start_page_restore, the page's
// dl_send_data frames and finish_page_restore. Commands go to 0xA04401; the page commands take the
// one frame their single receive window delivers as the answer, whatever its identifier.
// Example: start_page_restore(0x1000, 0xA6) sends A1 00 00 00 00 10 00 00 and accepts only an
// answer A6 xx xx xx 00 00 00 00.
#pragma once

#include <cstdint>

// Sends COMMAND_ID_ENTER_PRODUCTION_TEST_MODE once and waits up to 201 windows for an answer on
// 0xA44401 (frames on other identifiers are dropped). 0 when it is 0xA0; the send result; -3 no
// answer; -5 rejected answer.
int32_t enter_production_test_mode();

// The page commands: one send, one receive window of about 60 ms. 0 when byte 0 of the answer is
// the expected code (0xA0 for the backup, `answer_code` for the others) and bytes 4-7 are zero;
// the send result; -1 no answer; -5 rejected answer.
int32_t start_page_backup(uint32_t page_address);
int32_t start_page_restore(uint32_t page_address, uint8_t answer_code);
int32_t finish_page_restore(uint32_t page_checksum, uint8_t answer_code);
int32_t erase_sector(uint32_t page_address, uint8_t answer_code);

// Waits for one frame on `identifier` (61 tries of about 52 ms; a frame on another identifier is
// dropped and uses up a try) and leaves its bytes in `data`. 0, or -3 when none came.
int32_t wait_for_frame(uint32_t identifier, uint8_t data[8]);

// Listens for `window_ms` (a multiple of 5, at least 10) for one more frame of the unit on its
// answer or data identifier, sending nothing (a backup's last page should be followed by silence). 0 with the
// frame in `id` and `data`; -1 when the window passed without one; -3 when the channel stopped
// (an interruption, a lost adapter: it said why).
int32_t listen_for_unit_frame(int32_t window_ms, uint32_t* id, uint8_t data[8]);
