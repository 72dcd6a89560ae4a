// The `-l` lines of the Kvaser back-end.
#include <cstdio>

#include "can/can.h"
#include "can/kvaser/kvaser.h"
#include "can/kvaser/kvaser_library.h"
#include "can/vendor_library.h"

void kvaser_list() {
  char text[160];
  if (kvaser_load_library() != 0) {
    char names[96];
    vendor_library_names_text(kvaser_library_names(), names, sizeof names);
    std::snprintf(text, sizeof text, "CANlib not usable (tried %s)", names);
    can_list_note(text);
    return;
  }
  std::snprintf(text, sizeof text, "CANlib: %s", kvaser_library_file());
  can_list_note(text);
}
