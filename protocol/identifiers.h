// The identifiers of the bootloader protocol on the bus: the unit's three, and the sensor node's
// bases (the identifier on the bus is the base plus the node id, 1 to 127). Shared by the tool's
// commands and the emulated devices.
// Example: node 5 answers DL_START_LOADING on NODE_ANSWER_ID + 5 = 0x7041005.
#pragma once

#include <cstdint>

constexpr uint32_t UNIT_COMMAND_ID = 0xA04401;  // tool to unit: commands
constexpr uint32_t UNIT_ANSWER_ID = 0xA44401;   // unit to tool: answers and backup checksums
constexpr uint32_t UNIT_DATA_ID = 0xA84401;     // both ways: page data frames
// What the channel must deliver for the unit's services (the two form the range that adapters with
// range filters ask for).
constexpr uint32_t UNIT_LISTEN_IDS[] = {UNIT_ANSWER_ID, UNIT_DATA_ID};
constexpr int UNIT_LISTEN_ID_COUNT = 2;

constexpr uint32_t NODE_WAKE_ID = 0x5001000;         // tool to node: wake frame, 8 zero bytes
constexpr uint32_t NODE_WAKE_ANSWER_ID = 0x5041000;  // node to tool: the node is there
constexpr uint32_t NODE_ALIVE_ID = 0x6E01000;        // node to tool: announced at power-on
constexpr uint32_t NODE_COMMAND_ID = 0x7001000;      // tool to node: command frames
constexpr uint32_t NODE_ANSWER_ID = 0x7041000;       // node to tool: answers 11 and 18
constexpr uint32_t NODE_DATA_ID = 0x7081000;         // tool to node: data frames
