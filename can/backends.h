// The registry of back-ends: one row per `-i` family, so that adding a back-end is one row here and
// one folder beside this file. The channel parses `-i` names and walks the listing through it.
// Example: "pcan:2" and "PCAN_USBBUS2" both give the PEAK row with channel 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can/can.h"

struct CanBackendRow {
  const char* prefix;        // `-i` spelling before ':' ("pcan"); nullptr: any other name (by name)
  const char* alias;         // a spelling followed directly by the number ("pcan_usbbus"), or nullptr
  int32_t first_channel;     // numbers accepted after ':' or the alias; last < first: none
  int32_t last_channel;
  bool tried_by_default;     // opened, in table order, when no interface was selected
  const char* opened;        // console text when it opened, without the line end
  bool opened_names_it;      // when selected, " '<interface>'" follows that text
  const CanBackend* (*backend)();
};

// The rows, ending with a row whose backend is nullptr.
const CanBackendRow* can_backend_rows();

// Finds the row for `name` and fills `target`. 0; -1 when no row takes the name; -2 when a row's
// prefix matches but the rest is malformed (`why` then holds the reason, without a line end).
int32_t can_parse_interface(const char* name, const CanBackendRow** row, CanTarget* target,
                            char* why, size_t why_size);
