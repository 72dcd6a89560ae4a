// Vendor library loading through the platform layer.
#include "can/vendor_library.h"

#include <cstdio>
#include <cstring>

#include "can/can.h"
#include "platform/platform.h"

void* vendor_library_open(const char* const* names, const char** loaded) {
  for (; *names; ++names) {
    if (void* library = lib_open(*names)) {
      if (loaded) *loaded = *names;
      can_note_library(*names);
      return library;
    }
  }
  return nullptr;
}

bool vendor_library_optional(void* library, const VendorEntryPoint& entry) {
  const LibFunction function = lib_symbol(library, entry.name);
  // Every slot is a function pointer of the same size; its exact type is the entry point's.
  std::memcpy(entry.slot, &function, sizeof function);
  return function != nullptr;
}

int vendor_library_resolve(void* library, const VendorEntryPoint* entries, size_t count,
                           const char** missing) {
  for (size_t i = 0; i < count; ++i) {
    if (!vendor_library_optional(library, entries[i])) {
      if (missing) *missing = entries[i].name;
      return -1;
    }
  }
  return 0;
}

void vendor_library_names_text(const char* const* names, char* out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  for (const char* const* name = names; *name && used + 1 < size; ++name) {
    const int n = std::snprintf(out + used, size - used, "%s%s", name == names ? "" : ", ", *name);
    if (n < 0) break;
    used += static_cast<size_t>(n);
  }
}
