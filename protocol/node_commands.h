// The W2 sensor node's download commands: every identifier is a base (protocol/identifiers.h) plus
// the node id, and a command frame carries its argument in bytes 2-5. A download runs:
// node_dl_start_loading (wakes or awaits the node, starts the bootloader),
// node_dl_erase_app, then per 900-byte page node_dl_download, node_dl_send_page (or 150 x
// node_dl_send_data) and node_dl_flash_command, and at last node_dl_end_of_download. Every command
// takes the node id; force is the -b mode (the bootloader was started by listening).
// Example, node 5: node_dl_download(5, 0x20000) sends 10 00 00 00 02 00 00 00 on 0x7001005.
#pragma once

#include <cstdint>

#include "protocol/identifiers.h"

// The node id before the command line chose one; every command but the end refuses it.
constexpr uint8_t NODE_ID_NOT_SET = 255;

// `base` + `node`.
uint32_t node_identifier(uint32_t base, uint8_t node);

// What the channel must deliver while node `node` is flashed, in this order: the unit's two
// identifiers (UNIT_LISTEN_IDS), the node's wake answer, alive and answer identifiers. Their count,
// or -1 after "W2 Node id not set! \n" when the node id is not set.
constexpr int NODE_LISTEN_ID_COUNT = 5;
int node_dl_listen_ids(uint8_t node, uint32_t ids[NODE_LISTEN_ID_COUNT]);

// On an open channel that delivers node_dl_listen_ids: wakes the node (no force: wake frames until it answers) or listens for its power-on
// announcement (force), then sends DL_START_LOADING until the node answers 11. Both phases share
// 201 failed waits of 60 ms.
// 0; -1 node id not set; -3 send failure or no answer; -5 invalid answer.
int32_t node_dl_start_loading(uint8_t node, bool force);
// Sends DL_ERASE_APP; the first frame within 91 waits of about a second, on any identifier, is the
// answer and must carry 13. 0; -5 node id not set or invalid answer; -3 send failure or no answer.
int32_t node_dl_erase_app(uint8_t node);
// Opens the page whose first byte is at image address `address`. 0; -3 node id not set or send
// failure.
int32_t node_dl_download(uint8_t node, int32_t address);
// Sends 8 bytes unchanged as one data frame. 0; -1 node id not set; the send result on failure.
int32_t node_dl_send_data(uint8_t node, const uint8_t data[8]);
// Sends a 900-byte page as its 150 data frames (NODE_PAGE) and leaves the sum of its bytes in
// *sum. 0; -1 node id not set; the failing send's result.
int32_t node_dl_send_page(uint8_t node, const uint8_t page[900], uint32_t* sum);
// Closes the page with its checksum and waits up to ten times for 18 on the answer identifier
// (the tenth try takes any identifier); bytes 4-7 must be 0 unless `force`. *status (when given)
// gets the accepted answer's bytes 4-7, least significant first: not 0 only under `force`.
// 0; -3 node id not set, send failure or no answer; -1 illegal answer.
int32_t node_dl_flash_command(uint8_t node, uint32_t checksum, bool force,
                              uint32_t* status = nullptr);
// Ends the download (no node id check, no answer). 0; -3 send failure.
int32_t node_dl_end_of_download(uint8_t node);
