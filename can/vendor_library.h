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

// The logged lines of one back-end's library loading.
struct VendorLoadTexts {
  const char* cannot_load;     // no file of `names` loaded
  const char* cannot_resolve;  // an entry point is missing
  const char* cannot_init;     // after either, and on every later try
  const char* load_ok;
};

enum class VendorLibraryState { NOT_LOADED, UNUSABLE, READY };

// One vendor library as a back-end loads it: what to load, and how far loading got.
struct VendorLibrary {
  const char* const* names;  // nullptr-terminated, tried in order
  const VendorEntryPoint* entries;
  size_t count;
  VendorLoadTexts texts;
  VendorLibraryState state;
  const char* file;   // the name that loaded ("" before)
  void* handle;       // nullptr before
  char failure[160];  // why it is not usable, for a channel chosen by name
};

// Loads the library and resolves its entry points once per run, logging the outcome under
// LOG_ALWAYS; a library that lacked an entry point stays unusable. 0 when usable, -1 when not.
int vendor_library_load(VendorLibrary* library);
// Back to "not loaded", trying `names` next time.
void vendor_library_forget(VendorLibrary* library, const char* const* names);
