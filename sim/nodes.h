// Emulated W2 sensor nodes: one device that answers for every node id 1 to 127, each node with its
// own state (made when first needed) and its own application flash. The operator switches the
// sensors' power on `power_on_us` after the bus opened; node n's bootloader then announces itself
// once on 0x6E01000+n, n boot steps after power-on, and waits `window_us` for DL_START_LOADING
// before it starts its application (sensors that were on before the bus opened, `running_before`,
// run their application from the start and announce nothing). The application answers a wake frame (0x5001000+n, 8 zero
// bytes) on 0x5041000+n and hands over to the bootloader. The bootloader answers DL_START_LOADING
// (10) with 11 and DL_ERASE_APP (12) with 13 on 0x7041000+n, takes a 900-byte page opened by
// DL_DOWNLOAD (16, image address in bytes 2-5) as 150 frames on 0x7081000+n (sequence 1 to 150,
// byte 1 zero, six bytes), checks it at DL_FLASH_COMMAND (17, checksum in bytes 2-5), writes it at
// flash index = image address and answers 18 with a status in bytes 4-7 (0 = written, see
// SimNodeStatus); DL_END_OF_DOWNLOAD (14) starts the new application.
// Call order: set sim_nodes_config, sim_bus_attach(sim_nodes_device()) (plans the power-on from
// the config), run the tool; read sim_node_flash() and sim_node_stats() afterwards.
#pragma once

#include <bitset>
#include <cstdint>

#include "can/sim/sim_bus.h"
#include "protocol/page_format.h"

// A node's application flash: index = image address. Below SIM_NODE_APPLICATION_START lives the
// bootloader, which neither erases nor writes there.
constexpr uint32_t SIM_NODE_FLASH_SIZE = 0x400000;
constexpr uint32_t SIM_NODE_APPLICATION_START = 0x20000;
constexpr uint32_t SIM_NODE_PAGE_SIZE = NODE_PAGE.size;
// What every flash byte holds before the first erase.
constexpr uint8_t SIM_NODE_OLD_FLASH = 0x5A;
// power_on_us for sensors that stay switched off.
constexpr uint64_t SIM_NODES_NEVER = UINT64_MAX;

// Status in bytes 4-7 of the answer to DL_FLASH_COMMAND.
enum SimNodeStatus : uint32_t {
  SIM_NODE_PAGE_WRITTEN = 0,
  SIM_NODE_BAD_SEQUENCE = 1,  // a data frame out of order or with byte 1 set, or not 150 of them
  SIM_NODE_BAD_CHECKSUM = 2,  // the page's bytes do not add up to the checksum sent
  SIM_NODE_BAD_ADDRESS = 3,   // no DL_DOWNLOAD, or a page outside the application flash
  SIM_NODE_NOT_ERASED = 4,    // a page before DL_ERASE_APP
};

// Read when the device is attached (its reset); change it before sim_bus_attach.
struct SimNodesConfig {
  uint64_t power_on_us = 1000000;  // after the bus opened, the operator switches the sensors on
  bool running_before = false;     // instead, the sensors have been on since before the bus opened
  uint64_t boot_step_us = 1000;    // node n announces n steps after power-on
  uint64_t window_us = 100000;     // the bootloader waits this long after its announcement
  uint64_t erase_us = 500000;      // DL_ERASE_APP until its answer
  uint64_t flash_us = 2000;        // DL_FLASH_COMMAND until its answer
  std::bitset<128> absent;         // node ids that are not on the bus at all
  // A fault: each node refuses the nth page it is asked to write (counted from 1; 0 for none)
  // as a page with a lost frame, answering SIM_NODE_BAD_SEQUENCE and leaving its flash unwritten.
  uint32_t refuse_page = 0;
  // A fault: each node's first answer to a wake frame and its first to DL_START_LOADING come this
  // much later than the others (the node is busy); it answers every frame the tool resends.
  uint64_t answer_late_us = 0;
};
extern SimNodesConfig sim_nodes_config;

struct SimNodeStats {
  uint32_t wake_frames;      // wake frames seen while powered
  uint32_t start_requests;   // DL_START_LOADING frames answered
  uint32_t erases;
  uint32_t pages_written;
  uint32_t pages_refused;
  uint32_t data_frames;      // data frames seen while loading
  uint32_t end_of_download;
  uint32_t last_status;      // status of the last DL_FLASH_COMMAND answer
};

const SimDevice* sim_nodes_device();
// Node `node`'s flash, SIM_NODE_FLASH_SIZE bytes; nullptr for an id outside 1 to 127.
const uint8_t* sim_node_flash(uint8_t node);
// Zeros for a node that has seen nothing.
SimNodeStats sim_node_stats(uint8_t node);
