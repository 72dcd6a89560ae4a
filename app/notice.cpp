// The banner and the libraries' notice.
#include "app/notice.h"

#include "log/log.h"
#include "ralvex_version.h"  // generated from the project() version

void print_banner_and_notice() {
  console_print("\n\n===  Ralvex Service Tool %d.%d.%d  ===\n\n", RALVEX_VERSION_MAJOR,
                RALVEX_VERSION_MINOR, RALVEX_VERSION_PATCH);
  console_print("This software uses the following 3rd party libraries (on Windows):\n\n");
  console_print("1. PCAN-Basic, by PEAK-System Technik GmbH\n");
  console_print("   Used under PEAK-System's end-user licence agreement (PCAN-Basic EULA.txt), "
                "www.peak-system.com\n\n");
  console_print("2. CANlib, by Kvaser AB\n");
  console_print("   Used under Kvaser's end-user licence agreement (CANlib license.txt), "
                "www.kvaser.com\n\n");
}
