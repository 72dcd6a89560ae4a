// The emulated Ralvex unit: its bootloader's download service (start, erase, 256-byte pages into an
// emulated application flash from 0x70020000, end of download) on the unit's identifiers
// (commands 0xA04401, answers 0xA44401, data 0xA84401). Each page is checked for its frame
// sequence, its length and its checksum before it is written; DL_FLASH_COMMAND is answered with
// 18 and a status in bytes 4-7 (0 = written, see SimUnitStatus otherwise).
// Its parameter service (sim/unit_parameters.cpp) serves a 0xD000-byte parameter memory once the
// unit is in production test mode: page backup (answer, 37 data frames, checksum frame), sector
// erase, and page restore checked like a download page; see the declarations at the end.
// Call order: sim_bus_attach(sim_unit_device()) resets the unit; then change sim_unit_config if
// a test needs other timing; read sim_unit_flash(), sim_unit_parameters() and the stats
// afterwards.
#pragma once

#include <cstdint>

#include "can/sim/sim_bus.h"

constexpr uint32_t SIM_UNIT_FLASH_BASE = 0x70020000;
constexpr uint32_t SIM_UNIT_FLASH_SIZE = 0x3E0000;
// What the application flash holds before the first erase: an "old application".
constexpr uint8_t SIM_UNIT_OLD_APPLICATION = 0xA5;

// Status in bytes 4-7 of the answer to DL_FLASH_COMMAND.
enum SimUnitStatus : uint32_t {
  SIM_UNIT_PAGE_WRITTEN = 0,
  SIM_UNIT_BAD_SEQUENCE = 1,   // a data frame out of order, or not 37 of them
  SIM_UNIT_BAD_CHECKSUM = 2,   // the page's bytes do not add up to the checksum sent
  SIM_UNIT_BAD_ADDRESS = 3,    // no DL_DOWNLOAD, or a page outside the flash or not page-aligned
  SIM_UNIT_NOT_ERASED = 4,     // a page before DL_ERASE_APP was answered
};

// Timing of the unit's answers, reset to these defaults with the unit.
struct SimUnitConfig {
  uint64_t erase_us = 500000;   // DL_ERASE_APP until its answer
  uint64_t flash_us = 0;        // DL_FLASH_COMMAND until its answer (0: as soon as it arrived)
  uint64_t parameter_us = 0;    // a parameter command until its answer (and a backup's frames)
  // A fault: a restored page that holds this parameter offset stores its byte inverted, while
  // the page is still answered as written (-1: none).
  int64_t corrupt_parameter = -1;
  // A fault: the first answer to DL_START_LOADING and the first to
  // COMMAND_ID_ENTER_PRODUCTION_TEST_MODE come this much later than the others (the unit is still
  // leaving its application); the unit answers every DL_START_LOADING the tool resends meanwhile.
  uint64_t answer_late_us = 0;
  // A fault: the first COMMAND_ID_START_PAGE_BACKUP of the page at this address reaches the unit
  // twice, the second time a frame later (a controller that sent the frame again after an error
  // flag): the unit sends that page twice (-1: none).
  int64_t repeat_page = -1;
};
extern SimUnitConfig sim_unit_config;

struct SimUnitStats {
  uint32_t start_requests;     // DL_START_LOADING frames seen
  uint32_t erases;             // erases done
  uint32_t pages_written;
  uint32_t pages_refused;
  uint32_t data_frames;        // data frames seen on 0xA84401
  uint32_t end_of_download;    // DL_END_OF_DOWNLOAD frames seen
};

const SimDevice* sim_unit_device();
// The application flash: SIM_UNIT_FLASH_SIZE bytes, index i at address SIM_UNIT_FLASH_BASE + i.
const uint8_t* sim_unit_flash();
const SimUnitStats& sim_unit_stats();

// The parameter service.
constexpr uint32_t SIM_UNIT_PARAMETER_SIZE = 0xD000;

// What the parameter memory holds after a reset: each 16-byte row starts with the page number,
// the other bytes are the low byte of their address (page 0x12 row 0: 12 01 02 ... 0F).
uint8_t sim_unit_parameter_default(uint32_t address);

struct SimUnitParameterStats {
  uint32_t test_mode_requests;   // COMMAND_ID_ENTER_PRODUCTION_TEST_MODE frames seen
  uint32_t ignored_commands;     // parameter commands seen outside production test mode
  uint32_t pages_backed_up;      // backups started and sent
  uint32_t sectors_erased;
  uint32_t pages_restored;
  uint32_t requests_refused;     // answered with a non-zero status in bytes 4-7
  uint32_t data_frames;          // data frames taken by an open page restore
};

// The parameter memory, SIM_UNIT_PARAMETER_SIZE bytes; tests may change it.
uint8_t* sim_unit_parameters();
const SimUnitParameterStats& sim_unit_parameter_stats();

// Called by the unit's frame handler. reset: the power-on state. command: a frame on 0xA04401;
// false when byte 0 is no parameter command. data: a frame on 0xA84401; false when no page
// restore is open to take it.
void sim_unit_parameters_reset();
bool sim_unit_parameters_command(uint64_t at_us, const uint8_t data[8]);
bool sim_unit_parameters_data(const uint8_t data[8]);
