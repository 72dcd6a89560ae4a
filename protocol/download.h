// The unit's download commands, on an open channel that delivers UNIT_LISTEN_IDS. A download runs:
// dl_start_loading, dl_erase_app, then per 256-byte page dl_download, dl_send_page (or 37 x dl_send_data) and dl_flash_command, and at
// last dl_end_of_download. Commands go to 0xA04401, data to 0xA84401, answers come on 0xA44401.
// Example: dl_download(0x70020000) sends 10 00 00 00 00 00 02 70 and waits for nothing.
#pragma once

#include <cstdint>

// Sends DL_START_LOADING until the unit answers 11 on 0xA44401 (up to 201 sends).
// 0; -3 send failure or no answer; -5 rejected answer.
int32_t dl_start_loading();
// Sends DL_ERASE_APP once and waits up to 91 windows of about a second for 13.
// 0; -3 send failure or no answer; -5 rejected answer.
int32_t dl_erase_app();
// Announces the page at `page_address`. 0; -3 send failure.
int32_t dl_download(uint32_t page_address);
// Sends 8 bytes unchanged as one data frame. 0, or the send result.
int32_t dl_send_data(const uint8_t data[8]);
// Sends a 256-byte page as its 37 data frames (UNIT_PAGE) and leaves the sum of its bytes in *sum.
// 0, or the failing send's result.
int32_t dl_send_page(const uint8_t page[256], uint32_t* sum);
// Closes the page with its checksum and checks the unit's answer (18, bytes 4-7 zero).
// 0; the send result; -1 no answer; -5 rejected answer.
int32_t dl_flash_command(uint32_t page_checksum);
// Ends the download. 0; -3 send failure.
int32_t dl_end_of_download();
