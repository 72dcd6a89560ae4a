// Placeholder until the channel lands.
#include "can/can.h"

int32_t can_open() { return -1; }
int32_t can_send_frame(uint32_t, const uint8_t*) { return -3; }
int32_t can_receive_frame(uint8_t*, uint32_t*, int32_t, int32_t) { return -1; }
int32_t can_select_interface(const char*) { return -1; }
void can_accept_id(uint32_t) {}
int can_accepted_ids(const uint32_t**) { return 0; }
