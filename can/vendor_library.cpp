// Vendor library loading through the platform layer.
#include "can/vendor_library.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"

namespace {
const char* const* names_of(const VendorLibraryKind& kind, const VendorLibrary& library) {
  return library.names ? library.names : kind.names;
}

// "name1, name2, ..." of a nullptr-terminated list, cut to fit `size`.
void names_text(const char* const* names, char* out, size_t size) {
  out[0] = '\0';
  size_t used = 0;
  for (const char* const* name = names; *name && used + 1 < size; ++name) {
    const int n = std::snprintf(out + used, size - used, "%s%s", name == names ? "" : ", ", *name);
    if (n < 0) break;
    used += static_cast<size_t>(n);
  }
}

bool resolve(void* handle, const VendorEntryPoint& entry) {
  const LibFunction function = lib_symbol(handle, entry.name);
  // Every slot is a function pointer of the same size; its exact type is the entry point's.
  std::memcpy(entry.slot, &function, sizeof function);
  return function != nullptr;
}
}  // namespace

int vendor_library_load(const VendorLibraryKind& kind, VendorLibrary* library) {
  if (library->load == VendorLoad::READY) return 0;
  if (library->load == VendorLoad::UNUSABLE) {
    log_write(kind.texts.cannot_init, LOG_ALWAYS);
    return -1;
  }
  void* handle = nullptr;
  for (const char* const* name = names_of(kind, *library); *name && !handle; ++name) {
    handle = lib_open(*name);
    if (handle) library->file = *name;
  }
  if (!handle) {
    char names[96];
    names_text(names_of(kind, *library), names, sizeof names);
    std::snprintf(library->failure, sizeof library->failure, "none of %s could be loaded (%s)",
                  names, lib_error());
    log_write(kind.texts.cannot_load, LOG_ALWAYS);
    log_write(kind.texts.cannot_init, LOG_ALWAYS);
    return -1;
  }
  // The file the system's loader took, which is not always where one would look first.
  if (lib_path(handle, library->path, sizeof library->path) != 0) {
    std::snprintf(library->path, sizeof library->path, "%s", library->file);
  }
  for (size_t i = 0; i < kind.count; ++i) {
    if (resolve(handle, kind.entries[i])) continue;
    library->load = VendorLoad::UNUSABLE;
    std::snprintf(library->failure, sizeof library->failure, "%s has no entry point %s",
                  library->file, kind.entries[i].name);
    log_write(kind.texts.cannot_resolve, LOG_ALWAYS);
    log_write(kind.texts.cannot_init, LOG_ALWAYS);
    return -1;
  }
  library->load = VendorLoad::READY;
  library->handle = handle;
  log_write(kind.texts.load_ok, LOG_ALWAYS);
  return 0;
}

bool vendor_library_optional(const VendorLibrary& library, const VendorEntryPoint& entry) {
  if (!library.handle) return false;
  return resolve(library.handle, entry);
}

CanListRecord vendor_library_record(const VendorLibraryKind& kind, const VendorLibrary& library,
                                    CanVendor vendor, const char* version) {
  CanListRecord record{};
  record.kind = CanListKind::LIBRARY;
  record.vendor = vendor;
  record.usable = library.load == VendorLoad::READY;
  record.library = library.file[0] ? library.path : "";
  char names[160];
  names_text(names_of(kind, library), names, sizeof names);
  record.searched = names;
  record.text = record.usable ? version : library.failure;
  return record;
}
