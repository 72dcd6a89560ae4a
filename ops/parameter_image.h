// The unit's parameter area as the backup and the restore hold it: 208 pages of 256 bytes, unit
// addresses 0x0000 to 0xCFFF. The backup file is exactly these bytes, page 0 first, no header.
#pragma once

#include <cstdint>

constexpr int32_t PARAMETER_PAGE_SIZE = 256;
constexpr int32_t PARAMETER_PAGE_COUNT = 208;
constexpr int32_t PARAMETER_AREA_SIZE = PARAMETER_PAGE_SIZE * PARAMETER_PAGE_COUNT;  // 0xD000
static_assert(PARAMETER_AREA_SIZE == 0xD000, "the parameter area is 0xD000 bytes");

// Filled by the backup from the unit, or by the restore from the backup file (once per run).
extern uint8_t ParameterImage[PARAMETER_AREA_SIZE];
