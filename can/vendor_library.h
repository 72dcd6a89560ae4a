// Loading a vendor's CAN library at run time and resolving its entry points from a table, for the
// PEAK and Kvaser back-ends: once per run, logging the outcome, and remembering the file that
// loaded (its full path, for the listing and the run report) or why none is usable.
// Call order: vendor_library_load (again at every open: it loads once), then the entry points.
#pragma once

#include <cstddef>

#include "can/backend.h"

// One entry point: its exported name and the typed function pointer that receives it.
struct VendorEntryPoint {
  const char* name;
  void* slot;  // address of a function pointer of the entry point's exact type
};

// The logged lines of one back-end's library loading.
struct VendorLoadTexts {
  const char* cannot_load;     // no file of `names` loaded
  const char* cannot_resolve;  // an entry point is missing
  const char* cannot_init;     // after either, and on every later try
  const char* load_ok;
};

// What a back-end loads: constant.
struct VendorLibraryKind {
  const char* const* names;  // nullptr-terminated, tried in order
  const VendorEntryPoint* entries;
  size_t count;
  VendorLoadTexts texts;
};

enum class VendorLoad { NOT_LOADED, UNUSABLE, READY };

constexpr size_t VENDOR_PATH_MAX = 1024;

// How far loading got: part of the back-end's state (a fresh value is "not loaded").
struct VendorLibrary {
  const char* const* names = nullptr;  // nullptr: the kind's names (tests give others)
  VendorLoad load = VendorLoad::NOT_LOADED;
  const char* file = "";           // the name that loaded
  char path[VENDOR_PATH_MAX] = "";  // the file that loaded, as the system found it
  void* handle = nullptr;
  char failure[160] = "";          // why it is not usable, for a channel chosen by name
};

// Loads the library and resolves its entry points once per run, logging the outcome under
// LOG_ALWAYS; a library that lacked an entry point stays unusable. 0 when usable, -1 when not.
int vendor_library_load(const VendorLibraryKind& kind, VendorLibrary* library);

// Resolves one entry point that a back-end can do without (nullptr stays in the slot when the
// library lacks it or is not loaded). True when found.
bool vendor_library_optional(const VendorLibrary& library, const VendorEntryPoint& entry);

// The listing's record of a library: usable with its full path and `version`, or why not, with
// the names searched.
CanListRecord vendor_library_record(const VendorLibraryKind& kind, const VendorLibrary& library,
                                    CanVendor vendor, const char* version);
