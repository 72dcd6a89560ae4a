// Vendor library loading through the platform layer.
#include "can/vendor_library.h"

#include <cstring>

#include "platform/platform.h"

void* vendor_library_open(const char* const* names) {
  for (; *names; ++names) {
    if (void* library = lib_open(*names)) return library;
  }
  return nullptr;
}

int vendor_library_resolve(void* library, const VendorEntryPoint* entries, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const LibFunction function = lib_symbol(library, entries[i].name);
    if (!function) return -1;
    // Every slot is a function pointer of the same size; its exact type is the entry point's.
    std::memcpy(entries[i].slot, &function, sizeof function);
  }
  return 0;
}
