// The `-l` listing as data: the problems found in the back-ends' records, each with its fix, and
// the one function that prints records and problems. Pure except for the printing.
// Example: an INTERFACE record for "can1" with down set gives the problem "can1 is down" with the
// fix "sudo ip link set can1 type can bitrate 250000 && sudo ip link set can1 up".
#pragma once

#include <string>
#include <vector>

#include "can/backend.h"

struct CanFinding {
  std::string problem;
  std::string fix;
};

// The problems in `listing`, in the order of its records (a record's own in a fixed order: held,
// down, bit rate, queue, bus-off).
std::vector<CanFinding> can_listing_findings(const CanListing& listing);

// "CAN interfaces:", a line per record ("  (none)" when no interface was found; an interface that
// another run holds "..., in use by process N", one that can be named by what it is "... (also -i
// pcan@0x1)"), then "No problems found." or "Problems found:" with each problem and its fix.
void can_listing_print(const CanListing& listing);
