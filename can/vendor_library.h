// Loading a vendor's CAN library at run time and resolving its entry points from a table, for the
// PEAK and Kvaser back-ends. Call order: vendor_library_open once, then vendor_library_resolve.
#pragma once

#include <cstddef>

// One entry point: its exported name and the typed function pointer that receives it.
struct VendorEntryPoint {
  const char* name;
  void* slot;  // address of a function pointer of the entry point's exact type
};

// Tries the file names in order (nullptr ends the list); the first that loads wins and, when
// `loaded` is given, its name is stored there. nullptr when none loads.
void* vendor_library_open(const char* const* names, const char** loaded = nullptr);

// Resolves the entry points in table order, stopping at the first missing one.
// 0 when all resolved; -1 when one is missing (its name in `*missing` when given).
int vendor_library_resolve(void* library, const VendorEntryPoint* entries, size_t count,
                           const char** missing = nullptr);

// Resolves one entry point that a back-end can do without (nullptr stays in the slot when the
// library lacks it). True when found.
bool vendor_library_optional(void* library, const VendorEntryPoint& entry);

// "name1, name2, ..." of a nullptr-terminated list, cut to fit `size`.
void vendor_library_names_text(const char* const* names, char* out, size_t size);
