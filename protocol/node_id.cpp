#include "protocol/node_id.h"

uint8_t sensor_node_id = NODE_ID_NOT_SET;
