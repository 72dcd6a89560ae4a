// The unit's parameter area (208 pages of 256 bytes, unit addresses 0x0000 to 0xCFFF; the backup
// file is exactly these bytes), the start both parameter operations share, and the area read
// page by page (by the backup, and by the restore's --verify).
#pragma once

#include <cstdint>

#include "can/target.h"

struct Progress;

constexpr int32_t PARAMETER_PAGE_SIZE = 256;
constexpr int32_t PARAMETER_PAGE_COUNT = 208;
constexpr int32_t PARAMETER_AREA_SIZE = PARAMETER_PAGE_SIZE * PARAMETER_PAGE_COUNT;  // 0xD000
static_assert(PARAMETER_AREA_SIZE == 0xD000, "the parameter area is 0xD000 bytes");

// Opens the channel onto `target`, enters production test mode, then "Block count %d\n" with the
// 208 pages. 0, or the negative result of the opening or of enter_production_test_mode after
// "Production test mode initialization error %d\n" (not after a signal).
int32_t start_parameter_pages(const CanTarget& target);

// Reads all 208 pages into `area` (PARAMETER_AREA_SIZE bytes), counting them in `progress` (the
// percent line before each page) unless it is nullptr. Per page start_page_backup, then its 37 data frames and its checksum
// frame. 0; -3 when a signal asks the run to stop before a page; the start_page_backup result
// ("Backup starting failed: %d\n"); the wait_for_frame result ("Read CAN frame failed: %d\n");
// -6 a frame out of sequence; -8 a checksum mismatch (each with its console line).
int32_t read_parameter_area(uint8_t* area, Progress* progress);

// How long the unit must stay silent after the last page: a page it sent twice (a command that
// reached it twice) moves every later page's frames on by one, and the last page's come after
// the last frame read, back to back on the bus (the unit got its command a page's 20 ms before:
// a unit that takes up to 40 ms to start a page is heard). It costs a backup, and a read-back,
// 20 ms once: 0.5 % of the 4.4 s of 208 pages.
constexpr int32_t PARAMETER_QUIET_MS = 20;

// After read_parameter_area: listens PARAMETER_QUIET_MS for frames beyond the 208 pages. 0 when
// none came; -3 when the channel stopped meanwhile (it said why). Otherwise the pages read are not
// the pages asked for: -10 after "The unit sent page 0x%04X twice (a repeated command on the bus):
// <advice>\n" when their bytes tell which page it was (it equals the page read after it, or the
// frames that came), or else "The unit sent more pages than were asked for (a repeated command on
// the bus): <advice>\n".
int32_t end_parameter_area(const uint8_t* area, const char* advice);
