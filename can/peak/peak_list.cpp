// The `-l` lines of the PEAK back-end.
#include <cstdio>

#include "can/can.h"
#include "can/peak/peak.h"
#include "can/peak/peak_library.h"
#include "can/vendor_library.h"

void peak_list() {
  char text[160];
  if (peak_load_library() != 0) {
    char names[96];
    vendor_library_names_text(peak_library_names(), names, sizeof names);
    std::snprintf(text, sizeof text, "PCAN-Basic not usable (tried %s)", names);
    can_list_note(text);
    return;
  }
  std::snprintf(text, sizeof text, "PCAN-Basic: %s", peak_library_file());
  can_list_note(text);
}
