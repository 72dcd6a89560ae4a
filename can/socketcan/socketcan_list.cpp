// The `-l` lines of the SocketCAN back-end.
#include "can/can.h"
#include "can/socketcan/socketcan.h"

void socketcan_list() {}
