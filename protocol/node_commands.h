// The W2 sensor node's download commands: every identifier is a base plus the chosen node id, and a
// command frame carries its argument in bytes 2-5. A download runs: node_dl_start_loading (wakes
// or awaits the node, opens the CAN channel, starts the bootloader), node_dl_erase_app, then per
// 900-byte page node_dl_download, 150 x node_dl_send_data and node_dl_flash_command, and at last
// node_dl_end_of_download.
// Example, node 5: node_dl_download(0x20000) sends 10 00 00 00 02 00 00 00 on 0x7001005.
#pragma once

#include <cstdint>

// sensor_node_id before the command line chose a node.
constexpr uint8_t NODE_ID_NOT_SET = 255;

// Identifier bases; the identifier on the bus is the base plus sensor_node_id.
constexpr uint32_t NODE_WAKE_ID = 0x5001000;         // tool to node: wake frame, 8 zero bytes
constexpr uint32_t NODE_WAKE_ANSWER_ID = 0x5041000;  // node to tool: the node is there
constexpr uint32_t NODE_ALIVE_ID = 0x6E01000;        // node to tool: announced at power-on
constexpr uint32_t NODE_COMMAND_ID = 0x7001000;      // tool to node: command frames
constexpr uint32_t NODE_ANSWER_ID = 0x7041000;       // node to tool: answers 11 and 18
constexpr uint32_t NODE_DATA_ID = 0x7081000;         // tool to node: data frames

// NODE_ID_NOT_SET until the command line chooses a node (1 to 127).
extern uint8_t sensor_node_id;
// 1 while the bootloader was started by listening for the node (-b); set by node_dl_start_loading.
extern uint8_t node_force_mode;

// `base` + sensor_node_id.
uint32_t node_identifier(uint32_t base);

// Lets the channel deliver the node's answer identifiers, opens it, then wakes the node (force 0:
// wake frames until it answers) or listens for its power-on announcement (force 1), then sends
// DL_START_LOADING until the node answers 11. Both phases share 201 failed waits of 60 ms.
// 0; -1 node id not set or channel not opened; -3 send failure or no answer; -5 invalid answer.
int32_t node_dl_start_loading(uint8_t force);
// Sends DL_ERASE_APP; the first frame within 91 waits of about a second, on any identifier, is the
// answer and must carry 13. 0; -5 node id not set or invalid answer; -3 send failure or no answer.
int32_t node_dl_erase_app();
// Opens the page whose first byte is at image address `address`. 0; -3 node id not set or send
// failure.
int32_t node_dl_download(int32_t address);
// Sends 8 bytes unchanged as one data frame. 0; -1 node id not set; the send result on failure.
int32_t node_dl_send_data(const uint8_t data[8]);
// Closes the page with its checksum and waits up to ten times for 18 on the answer identifier
// (the tenth try takes any identifier); bytes 4-7 must be 0 unless node_force_mode is set.
// 0; -3 node id not set, send failure or no answer; -1 illegal answer.
int32_t node_dl_flash_command(uint32_t checksum);
// Ends the download (no node id check, no answer). 0; -3 send failure.
int32_t node_dl_end_of_download();
