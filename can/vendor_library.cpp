// Vendor library loading through the platform layer.
#include "can/vendor_library.h"

#include <cstdio>
#include <cstring>

#include "can/can.h"
#include "log/log.h"
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

int vendor_library_load(VendorLibrary* library) {
  if (library->state == VendorLibraryState::READY) return 0;
  if (library->state == VendorLibraryState::UNUSABLE) {
    log_write(library->texts.cannot_init, LOG_ALWAYS);
    return -1;
  }
  void* handle = vendor_library_open(library->names, &library->file);
  if (!handle) {
    char names[96];
    vendor_library_names_text(library->names, names, sizeof names);
    std::snprintf(library->failure, sizeof library->failure, "none of %s could be loaded (%s)",
                  names, lib_error());
    log_write(library->texts.cannot_load, LOG_ALWAYS);
    log_write(library->texts.cannot_init, LOG_ALWAYS);
    return -1;
  }
  const char* missing = "";
  if (vendor_library_resolve(handle, library->entries, library->count, &missing) != 0) {
    library->state = VendorLibraryState::UNUSABLE;
    std::snprintf(library->failure, sizeof library->failure, "%s has no entry point %s",
                  library->file, missing);
    log_write(library->texts.cannot_resolve, LOG_ALWAYS);
    log_write(library->texts.cannot_init, LOG_ALWAYS);
    return -1;
  }
  library->state = VendorLibraryState::READY;
  library->handle = handle;
  log_write(library->texts.load_ok, LOG_ALWAYS);
  return 0;
}

void vendor_library_forget(VendorLibrary* library, const char* const* names) {
  library->names = names;
  library->state = VendorLibraryState::NOT_LOADED;
  library->file = "";
  library->handle = nullptr;
  library->failure[0] = '\0';
}
