// Loading a vendor's CAN library at run time and resolving its entry points from a table, for the
// PEAK and Kvaser back-ends. Call order: vendor_library_open once, then vendor_library_resolve.
#pragma once

#include <cstddef>

// One entry point: its exported name and the typed function pointer that receives it.
struct VendorEntryPoint {
  const char* name;
  void* slot;  // address of a function pointer of the entry point's exact type
};

// Tries the file names in order (nullptr ends the list); the first that loads wins.
// nullptr when none loads.
void* vendor_library_open(const char* const* names);

// Resolves the entry points in table order, stopping at the first missing one.
// 0 when all resolved, -1 when one is missing.
int vendor_library_resolve(void* library, const VendorEntryPoint* entries, size_t count);
